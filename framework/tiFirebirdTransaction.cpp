#include <algorithm>

#include <ibase.h>

#include "framework/tiFirebirdInternal.h"

// Transactions of a database: start, commit, roll back; statements on a transaction that ends are closed.

namespace kelvado {

using namespace fbi;

TtiFBTransaction::TtiFBTransaction(TtiFBDatabase& db) : db_(db), impl_(std::make_unique<Impl>()) {
  db_.impl_->transactions.push_back(this);
}

TtiFBTransaction::~TtiFBTransaction() {
  if (orphaned_) return;
  if (impl_->tra) {
    try {
      RollBack();
    } catch (...) {
      Detach();
    }
  }
  // The statements on this transaction outlive it: they drop their handles and refuse to run from now on.
  for (auto* s : db_.impl_->statements)
    if (s->tr_ == this) {
      s->ReleaseHandles();
      s->tr_ = nullptr;
    }
  auto& v = db_.impl_->transactions;
  v.erase(std::remove(v.begin(), v.end(), this), v.end());
}

void TtiFBTransaction::Detach() { impl_->tra.reset(); }

bool TtiFBTransaction::Active() const { return static_cast<bool>(impl_->tra); }

void TtiFBTransaction::Start(bool readOnly) {
  if (orphaned_) throw EtiFBException("Cannot start a transaction on a database that was closed");
  if (Active())
    throw EtiFBException(tiFormat("Cannot start a transaction on %s: one is active already", {db_.Describe()}));
  if (!db_.Connected())
    throw EtiFBException(tiFormat("Cannot start a transaction on %s: it is not connected", {db_.Describe()}));
  if (!readOnly && db_.ReadOnlyAccess())
    throw EtiFBException(
        tiFormat("Cannot start a writing transaction on %s: it is open for reading only", {db_.Describe()}));
  Status st;
  try {
    XpbGuard tpb(Master()->getUtilInterface()->getXpbBuilder(&st, fb::IXpbBuilder::TPB, nullptr, 0));
    tpb->insertTag(&st, isc_tpb_concurrency);
    tpb->insertTag(&st, isc_tpb_wait);
    tpb->insertTag(&st, readOnly ? isc_tpb_read : isc_tpb_write);
    impl_->tra.reset(db_.impl_->att->startTransaction(&st, tpb->getBufferLength(&st), tpb->getBuffer(&st)));
    impl_->wrote = false;
    readOnly_ = readOnly;
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot start a transaction on %s:\n%s", {db_.Describe(), EngineText(e)}),
                         EngineCode(e));
  }
}

// Commit, commit-retaining and roll back need a live database and an active transaction; an engine failure
// names the database. `verb` names the act in the messages.
template <class End>
void TtiFBTransaction::Finish(const char* verb, bool closeStatements, End&& end) {
  if (orphaned_) throw EtiFBException(tiFormat("Cannot %s on a database that was closed", {verb}));
  if (!Active())
    throw EtiFBException(tiFormat("Cannot %s on %s: no transaction is active", {verb, db_.Describe()}));
  if (closeStatements)
    for (auto* s : db_.impl_->statements)
      if (s->tr_ == this) s->Close();
  Status st;
  try {
    end(st);
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot %s on %s:\n%s", {verb, db_.Describe(), EngineText(e)}), EngineCode(e));
  }
}

void TtiFBTransaction::Commit() {
  Finish("commit", true, [this](Status& st) {
    impl_->tra->commit(&st);
    impl_->tra.Consumed();
  });
}

void TtiFBTransaction::CommitRetaining() {
  Finish("commit", false, [this](Status& st) { impl_->tra->commitRetaining(&st); });
}

void TtiFBTransaction::RollBack() {
  if (!orphaned_ && Active() && impl_->wrote) db_.impl_->tidyAtClose = true;
  Finish("roll back", true, [this](Status& st) {
    try {
      impl_->tra->rollback(&st);
    } catch (const fb::FbException&) {
      // The engine keeps nothing we could retry with: drop the handle so the object stays usable.
      Detach();
      throw;
    }
    impl_->tra.Consumed();
  });
}

}  // namespace kelvado
