#pragma once
// Channels of a subsystem. A subsystem is made of one or two channels and, for category 2, a test channel;
// each is a chain of blocks. TChannel and TTestChannel are their data objects (only the stamps); TChannelOp
// and TTestChannelOp their nodes under the subsystem node: a node owns its block nodes, computes the channel
// MTTFd through the calculator, caps it at the category's limit (the cut MTTFd), optionally limits it by the
// test channel (the fit MTTFd), decides whether the subsystem's category uses the channel and checks its
// status recursively over its blocks. Each channel node is paired with the subsystem's test-channel node
// (TChannelOpList::Add pairs them).
#include <memory>
#include <optional>
#include <string>

#include "model/BOMBase.h"
#include "model/BOMBloc.h"
#include "model/BOMLists.h"

namespace kelvado {

class TChannel : public TPerObjAbsEx {
public:
  TI_CLASS(TChannel)
  TChannel() = default;
  // Display name: general text 3.
  virtual std::string GetName() const;
  // Same class (or below) and equal stamps.
  bool Equals(const TtiObject& other) const override;
  // Stamps and protection flag; Changed.
  void Assign(const TtiObject& source) override;
};

class TTestChannel : public TChannel {
public:
  TI_CLASS(TTestChannel)
  TTestChannel() = default;
  // Display name: general text 4.
  std::string GetName() const override;
};

class TChannelOp : public TNodeChannelAbs {
public:
  TI_CLASS(TChannelOp)
  TChannelOp();
  ~TChannelOp() override;

  // The block nodes, owned (published as "List").
  TBlocOpList* GetBlocOpList() const { return list_.get(); }
  TBlocOpList* GetList() const override { return list_.get(); }
  // The data object (a TTestChannel for a test-channel node), owned; this node is its Owner.
  TChannel* GetChannel() const { return channel_.get(); }
  virtual void SetChannel(std::unique_ptr<TChannel> channel);
  // The paired test-channel node as stored (a reference; the stores write it), deleted or not. Null once the
  // channel list no longer holds it (Delete, Clear, Extract free or move it): a reference to a node that may be
  // gone is never handed out. Use PairedTestChannelOp to compute with it.
  TTestChannelOp* GetTestChannelOp() const;
  virtual void SetTestChannelOp(TTestChannelOp* node);
  // The paired test-channel node when it counts: it still sits in this node's channel list and is not
  // deleted; null otherwise (a deleted or removed test channel counts as absent).
  TTestChannelOp* PairedTestChannelOp() const;

  double GetDC(TDCCalc& calc, TDCDenotation& band) override;
  double GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band) override;
  bool IsTestChannelNode() const override { return false; }
  void PairTestChannelNode(TNodeChannelAbs* testChannel) override;

  // The channel MTTFd from the blocks, cached (errors pass through and leave the cache empty).
  double GetMTTFdLazy() const;
  // The channel DC from the blocks, cached the same way (the subsystem's DCavg reads it).
  double GetDCLazy() const;
  // The cached MTTFd limited to the category's cap (+infinity stays).
  double GetMTTFdCut() const;
  // The channel holds a block that is not deleted.
  bool HasLiveBloc() const;
  // The cut MTTFd, limited by 2 x the test channel's cut MTTFd when the option MTTFdCFitBeforeSymm is on
  // and a used test channel is paired. A test-channel node gives its own cut MTTFd.
  virtual double GetMTTFdFit() const;
  // The test channel is good enough for this channel: 2 x its cut MTTFd exceeds this channel's MTTFd.
  virtual bool IsTestChannelMTTFdSatisfied() const;
  virtual bool IsChannelSatisfied() const { return true; }
  // The subsystem's category uses this channel.
  virtual bool IsUsedBySubsystem() const;
  bool IsRelevant() const { return IsUsedBySubsystem(); }

  // The subsystem node above, or null.
  TComponentOp* GetComponentOp() const;
  // 0-based position in the subsystem's channel list (or the channel list holding it) for the stores' order
  // column, deleted items counted; -1.0 without one.
  double GetChnOrder() const;

  // ---- Display texts (published) ----
  std::string GetMTTFdString() const;
  std::string GetMTTFdDenotationString() const;
  std::string GetMTTFdCutString() const;
  std::string GetMTTFdCutDenotationString() const;
  std::string GetMTTFdFitString() const;
  std::string GetMTTFdFitDenotationString() const;

  // Text 3, followed by " " and the position when the node has a subsystem node.
  std::string GetCaption() const override;
  bool Equals(const TtiObject& other) const override;
  // Clones of the source's block nodes that are not deleted, a clone of its channel, stamps and protection
  // flag; Changed. The pairing is not copied.
  void Assign(const TtiObject& source) override;
  // Counted among the channels of the list that are neither deleted nor test channels (the first is 1).
  int GetPosition() const override;
  TItemStatus CheckStatus(TStatusMessages* messages, bool recursive) override;
  // The block nodes' and the paired test channel's Changed, the caches emptied, then OnChange.
  void Changed() override;

  void ResetCaches();

protected:
  // The category of the subsystem above (cat4, the category of a new subsystem, without one) and its cap.
  TCat SubsystemCat() const;
  // Number of items of the channel list, up to and including this node, that are not deleted and are (or are
  // not) test channels.
  int CountInList(bool testChannels) const;

private:
  void ChannelChanged(TtiObject* sender);
  void BlocsChanged(TtiObject* sender);

  std::unique_ptr<TBlocOpList> list_;
  std::unique_ptr<TChannel> channel_;
  mutable std::optional<double> dc_;  // emptied with the MTTFd cache
  TTestChannelOp* testChannelOp_ = nullptr;
  // The same node as a list item, taken while it was certainly alive: PairedTestChannelOp compares list items
  // with it and never follows a reference that may be stale.
  const TtiObject* pairedObject_ = nullptr;
  mutable std::optional<double> mttfd_;
  mutable TMTTFdDenotation mttfdBand_ = mttfLow;
};

class TTestChannelOp : public TChannelOp {
public:
  TI_CLASS(TTestChannelOp)
  TTestChannelOp() = default;

  // Published as "Channel" typed TTestChannel; the same setter.
  TTestChannel* GetTestChannel() const;

  bool IsTestChannelNode() const override { return true; }
  // A test channel has no test channel: any node raises EKelvado (1018); null does nothing.
  void SetTestChannelOp(TTestChannelOp* node) override;
  double GetMTTFdFit() const override { return GetMTTFdCut(); }
  bool IsTestChannelMTTFdSatisfied() const override { return true; }
  bool IsChannelSatisfied() const override { return true; }
  // Used only in category 2 with the PL computed from the channels, and only while not deleted.
  bool IsUsedBySubsystem() const override;

  // General text 4.
  std::string GetCaption() const override;
  // Counted among the test channels of the list that are not deleted.
  int GetPosition() const override;
};

}  // namespace kelvado
