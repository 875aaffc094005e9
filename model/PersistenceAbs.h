#pragma once
// The one interface through which the model is read from and saved to a store: one read and one save
// operation per node class and per node-list class of the project tree, and hooks around the store's
// visitors. The library mapper and the project-file mapper implement it; callers that hold an object of any of
// these classes use the class-dispatching Read and Save.
#include <functional>
#include <memory>
#include <string>

#include "framework/tiObject.h"
#include "model/BOMBase.h"

namespace kelvado {

class TCatConditionOpList;
class TCCFMeasureOpList;
class TDCMeasureOpList;
class TElementOpList;
class TBlocOpList;
class TChannelOpList;
class TComponentOpList;
class TSFOpList;
class TProjectOpList;

class TAbsMapper {
public:
  TAbsMapper() = default;
  TAbsMapper(const TAbsMapper&) = delete;
  TAbsMapper& operator=(const TAbsMapper&) = delete;
  virtual ~TAbsMapper() = default;

  // The file name of the open store.
  virtual std::string GetStoreFileName() = 0;
  // Hooks run around the store's read and save visitors.
  virtual void SetOnAfterRead(TNotifyEvent Event) = 0;
  virtual void SetOnAfterSave(TNotifyEvent Event) = 0;
  virtual void SetOnBeforeRead(TNotifyEvent Event) = 0;
  virtual void SetOnBeforeSave(TNotifyEvent Event) = 0;

  virtual bool ReadCatConditionOp(TCatConditionOp& Obj) = 0;
  virtual bool ReadCCFMeasureOp(TCCFMeasureOp& Obj) = 0;
  virtual bool ReadDCMeasureOp(TDCMeasureOp& Obj) = 0;
  virtual bool ReadElementOp(TElementOp& Obj) = 0;
  virtual bool ReadBlocOp(TBlocOp& Obj) = 0;
  virtual bool ReadChannelOp(TChannelOp& Obj) = 0;
  virtual bool ReadComponentOp(TComponentOp& Obj) = 0;
  virtual bool ReadSFOp(TSFOp& Obj) = 0;
  virtual bool ReadProjectOp(TProjectOp& Obj) = 0;

  virtual bool ReadCatConditionOpList(TCatConditionOpList& List) = 0;
  // FromLibrary: the catalogue of the open library; otherwise that of the general database.
  virtual bool ReadCCFMeasureOpList(TCCFMeasureOpList& List, bool FromLibrary) = 0;
  virtual bool ReadDCMeasureOpList(TDCMeasureOpList& List, bool FromLibrary) = 0;
  virtual bool ReadElementOpList(TElementOpList& List) = 0;
  virtual bool ReadBlocOpList(TBlocOpList& List) = 0;
  virtual bool ReadChannelOpList(TChannelOpList& List) = 0;
  virtual bool ReadComponentOpList(TComponentOpList& List) = 0;
  virtual bool ReadSFOpList(TSFOpList& List) = 0;
  virtual bool ReadProjectOpList(TProjectOpList& List) = 0;

  // Every object of Obj's graph that is posUpdate or posClean becomes posEmpty; then Read(Obj).
  virtual void Refresh(TtiObject& Obj);

  virtual void SaveCatConditionOp(TCatConditionOp& Obj) = 0;
  virtual void SaveCCFMeasureOp(TCCFMeasureOp& Obj) = 0;
  virtual void SaveDCMeasureOp(TDCMeasureOp& Obj) = 0;
  virtual void SaveElementOp(TElementOp& Obj) = 0;
  virtual void SaveBlocOp(TBlocOp& Obj) = 0;
  virtual void SaveChannelOp(TChannelOp& Obj) = 0;
  virtual void SaveComponentOp(TComponentOp& Obj) = 0;
  virtual void SaveSFOp(TSFOp& Obj) = 0;
  virtual void SaveProjectOp(TProjectOp& Obj) = 0;

  virtual void SaveCatConditionOpList(TCatConditionOpList& List) = 0;
  virtual void SaveCCFMeasureOpList(TCCFMeasureOpList& List) = 0;
  virtual void SaveDCMeasureOpList(TDCMeasureOpList& List) = 0;
  virtual void SaveElementOpList(TElementOpList& List) = 0;
  virtual void SaveBlocOpList(TBlocOpList& List) = 0;
  virtual void SaveChannelOpList(TChannelOpList& List) = 0;
  virtual void SaveComponentOpList(TComponentOpList& List) = 0;
  virtual void SaveSFOpList(TSFOpList& List) = 0;
  virtual void SaveProjectOpList(TProjectOpList& List) = 0;

  // The read operation of the first class in the order of the operations above that Obj is an instance of
  // (a subclass goes where its parent goes: a test-channel node is read as a channel node); the catalogue
  // lists are read from the open library. False, and nothing read, for any other class.
  bool Read(TtiObject& Obj);
  // The save operation chosen the same way; an object of any other class is ignored.
  void Save(TtiObject& Obj);

  // Events of the mapper (the mapper is the sender). StoreChanging: another store is about to be opened;
  // StoreChanged: it is open (or a store was connected). Release: what was read from the store must be let go
  // (the holders of lazily read lists free them).
  using TMapperEvent = std::function<void(TAbsMapper& Sender)>;
  void SetOnStoreChanging(TMapperEvent Event) { onStoreChanging_ = std::move(Event); }
  void SetOnStoreChanged(TMapperEvent Event) { onStoreChanged_ = std::move(Event); }
  // The release event has one slot, owned by the holder that set it last: ClearOnRelease empties it only for
  // that holder, so a holder that goes away never unhooks another one.
  void SetOnRelease(std::function<void()> Event, const void* Holder = nullptr) {
    onRelease_ = std::move(Event);
    releaseHolder_ = Holder;
  }
  void ClearOnRelease(const void* Holder) {
    if (releaseHolder_ != Holder) return;
    onRelease_ = nullptr;
    releaseHolder_ = nullptr;
  }
  // Expires when the mapper is freed: whoever keeps a pointer to it beyond that asks this before using it.
  std::weak_ptr<const void> Alive() const { return alive_; }

protected:
  void DoStoreChanging() {
    if (onStoreChanging_) onStoreChanging_(*this);
  }
  void DoStoreChanged() {
    if (onStoreChanged_) onStoreChanged_(*this);
  }
  void DoRelease() {
    if (onRelease_) onRelease_();
  }

private:
  TMapperEvent onStoreChanging_;
  TMapperEvent onStoreChanged_;
  std::function<void()> onRelease_;
  const void* releaseHolder_ = nullptr;
  std::shared_ptr<const int> alive_ = std::make_shared<const int>(0);
};

}  // namespace kelvado
