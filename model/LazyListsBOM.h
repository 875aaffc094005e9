#pragma once
// The item lists of one store, each read through the store's mapper the first time it is asked for and kept
// until freed: the open library's subsystems, channels, blocks, elements and measure catalogues, the general
// database's measure catalogues, and the safety functions and projects of stores that hold them. The mapper's
// release event frees them all (another library was opened).
#include <memory>

#include "framework/tiObject.h"

namespace kelvado {

class TAbsMapper;
class TBlocOpList;
class TCCFMeasureOpList;
class TChannelOpList;
class TComponentOpList;
class TDCMeasureOpList;
class TElementOpList;
class TProjectOpList;
class TSFOpList;
class TPerObjListEx;

class TLazyListsBOM {
public:
  // Mapper may be null (a holder without a store, e.g. a clone). With one, its release event is this holder's
  // FreeAll from now on.
  explicit TLazyListsBOM(TAbsMapper* Mapper);
  // Frees every list and unhooks the release event when it is still this holder's and the mapper still lives.
  ~TLazyListsBOM();
  TLazyListsBOM(const TLazyListsBOM&) = delete;
  TLazyListsBOM& operator=(const TLazyListsBOM&) = delete;

  // The mapper; null without one or once it was freed.
  TAbsMapper* GetMapper() const { return mapper_ && !mapperAlive_.expired() ? mapper_ : nullptr; }

  // The held list, read through the mapper when not held yet.
  TBlocOpList* GetBlocOpList();
  TCCFMeasureOpList* GetCCFMeasureOpListGen();
  TCCFMeasureOpList* GetCCFMeasureOpListLib();
  TChannelOpList* GetChannelOpList();
  TComponentOpList* GetComponentOpList();
  TDCMeasureOpList* GetDCMeasureOpListGen();
  TDCMeasureOpList* GetDCMeasureOpListLib();
  TElementOpList* GetElementOpList();
  TProjectOpList* GetProjectOpList();
  TSFOpList* GetSFOpList();

  // Frees every held list that is of ListClass (or below).
  void FreeListsOfClass(const TtiClass& ListClass);
  // Every list but the general database's catalogues; those two; all.
  void FreeLists();
  void FreeGenLists();
  void FreeAll();

  // Each only when the list is held, through the mapper.
  void SaveBlocOpList();
  void SaveCCFMeasureOpList();
  void SaveComponentOpList();
  void SaveDCMeasureOpList();
  void SaveElementOpList();

  // FreeAll, then a clone of each list Source holds.
  void Assign(const TLazyListsBOM& Source);
  // A holder without a mapper holding clones of this one's lists.
  std::unique_ptr<TLazyListsBOM> Clone() const;
  // With a mapper: the protection flag of every item of the block, library CCF catalogue, channel, subsystem,
  // library DC catalogue and element lists, each read first when not held.
  void SetProtected(bool Flag);
  // Adds a project, safety-function, subsystem, channel, block or element node to the held list of its class
  // (read first when not held); anything else is ignored.
  void AddOp(std::unique_ptr<TtiObject> Op);

private:
  template <class L, class R>
  L* Lazy(std::unique_ptr<L>& slot, R&& read);
  // Every slot with its list, for the operations over all of them.
  template <class F>
  void ForEachSlot(F&& f);

  TAbsMapper* mapper_;
  std::weak_ptr<const void> mapperAlive_;  // the mapper may be shut down before this holder
  std::unique_ptr<TBlocOpList> blocOps_;
  std::unique_ptr<TCCFMeasureOpList> ccfGen_;
  std::unique_ptr<TCCFMeasureOpList> ccfLib_;
  std::unique_ptr<TChannelOpList> channelOps_;
  std::unique_ptr<TComponentOpList> componentOps_;
  std::unique_ptr<TDCMeasureOpList> dcGen_;
  std::unique_ptr<TDCMeasureOpList> dcLib_;
  std::unique_ptr<TElementOpList> elementOps_;
  std::unique_ptr<TProjectOpList> projectOps_;
  std::unique_ptr<TSFOpList> sfOps_;
};

}  // namespace kelvado
