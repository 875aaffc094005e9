#include "model/BOMLists.h"

#include "model/MsgStrings.h"

namespace kelvado {

#define KELVADO_NODE_LIST(Name, CaptionText)                                                   \
  const TtiClass& Name::StaticClass() {                                                        \
    static const TtiClass c(TtiClass::Of<Name, TPerObjListEx>(), #Name);                       \
    return c;                                                                                  \
  }                                                                                            \
  std::string Name::GetCaption() const { return GetMsgString(CaptionText, msgBaseGeneral); }

KELVADO_NODE_LIST(TElementOpList, txtElements)
KELVADO_NODE_LIST(TBlocOpList, txtBlocs)
KELVADO_NODE_LIST(TChannelOpList, txtChannels)
KELVADO_NODE_LIST(TComponentOpList, txtSubsystems)
KELVADO_NODE_LIST(TSFOpList, txtSFs)
KELVADO_NODE_LIST(TProjectOpList, txtProjects)
#undef KELVADO_NODE_LIST

int TChannelOpList::Add(std::unique_ptr<TtiObject> item) {
  if (auto* op = dynamic_cast<TNodeChannelAbs*>(item.get())) {
    if (!op->IsTestChannelNode()) {
      for (TtiObject* o : *this) {
        auto* tc = dynamic_cast<TNodeChannelAbs*>(o);
        if (tc && !tc->GetDeleted() && tc->IsTestChannelNode()) {
          op->PairTestChannelNode(tc);
          break;
        }
      }
    } else {
      for (TtiObject* o : *this) {
        auto* ch = dynamic_cast<TNodeChannelAbs*>(o);
        if (ch && !ch->GetDeleted() && !ch->IsTestChannelNode()) ch->PairTestChannelNode(op);
      }
    }
  }
  return TPerObjListOf<TChannelOp>::Add(std::move(item));
}

}  // namespace kelvado
