#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <ibase.h>

#include "framework/tiFirebirdInternal.h"
#include "framework/tiUtils.h"
#include "framework/tiValue.h"
#include "platform/TextCase.h"

// Statements: named parameters translated and bound, statements run, and the columns of a row read as typed values.

namespace kelvado {

using namespace fbi;

namespace {

// Hands the blob to `use` and closes it; when either fails, the blob is released instead.
template <class Use>
void UseBlob(Status& st, fb::IBlob* opened, Use&& use) {
  FbRef<fb::IBlob> blob(opened);
  use(blob.get());
  blob->close(&st);
  blob.Consumed();
}

std::string NumberText(double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// Date-times travel as days since 1899-12-30; the engine counts days since 1858-11-17 and time in 1/10000 s.
constexpr int kDateOffset = 15018;
constexpr double kTicksPerDay = 864000000.0;

double IscToDateTime(ISC_DATE d, ISC_TIME t) { return static_cast<double>(d - kDateOffset) + t / kTicksPerDay; }

void DateTimeToIsc(double dt, ISC_DATE& d, ISC_TIME& t) {
  double days = std::floor(dt);
  auto ticks = static_cast<long long>(std::llround((dt - days) * kTicksPerDay));
  if (ticks >= static_cast<long long>(kTicksPerDay)) {
    days += 1;
    ticks -= static_cast<long long>(kTicksPerDay);
  }
  d = static_cast<ISC_DATE>(days) + kDateOffset;
  t = static_cast<ISC_TIME>(ticks);
}

}  // namespace

using PKind = TtiFBStatement::TParamKind;

struct TtiFBStatement::Param {
  PKind kind = PKind::Unset;
  std::string text;  // Windows-1252 bytes for strings, raw bytes for blobs
  int64_t i = 0;
  double d = 0.0;
};

struct TtiFBStatement::Impl {
  FbRef<fb::IStatement> stmt;
  FbRef<fb::IResultSet> cursor;
  FbRef<fb::IMessageMetadata> inMeta;  // as described by the engine
  FbRef<fb::IMessageMetadata> outMeta;
  FbRef<fb::IMessageMetadata> bindMeta;  // built from the values bound
  std::vector<unsigned char> inBuf;
  std::vector<unsigned char> outBuf;
  std::vector<TtiFBColumn> columns;
  std::vector<unsigned> offsets, nullOffsets;
  unsigned type = 0;
  bool eof = true;
  int64_t affected = 0;

};

TtiFBStatement::TtiFBStatement(TtiFBDatabase& db, TtiFBTransaction& tr)
    : db_(db), tr_(&tr), impl_(std::make_unique<Impl>()) {
  if (&tr.Database() != &db)
    throw EtiFBException(tiFormat("A statement on %s cannot use a transaction of %s",
                                  {db.Describe(), tr.Database().Describe()}));
  db_.impl_->statements.push_back(this);
}

TtiFBStatement::~TtiFBStatement() {
  if (orphaned_) return;
  ReleaseHandles();
  auto& v = db_.impl_->statements;
  v.erase(std::remove(v.begin(), v.end(), this), v.end());
}

void TtiFBStatement::ReleaseHandles() {
  // Plain releases: nothing here may throw, and after a failed detach the handles are dead anyway.
  impl_->cursor.reset();
  impl_->eof = true;
  impl_->bindMeta.reset();
  impl_->inMeta.reset();
  impl_->outMeta.reset();
  impl_->stmt.reset();
  impl_->columns.clear();
}

TtiFBTransaction& TtiFBStatement::Tr(const char* what) const {
  if (!tr_) Fail(what, "its transaction was closed");
  return *tr_;
}

std::string TtiFBStatement::Where() const {
  return orphaned_ ? std::string("a database that was closed") : db_.Describe();
}

void TtiFBStatement::Fail(const std::string& what, const std::string& detail, long code) const {
  std::string msg = what + " on " + Where();
  if (!detail.empty()) msg += ":\n" + detail;
  if (!sql_.empty()) msg += "\nSQL: " + Shorten(sql_);
  throw EtiFBException(msg, code);
}

void TtiFBStatement::SetSQL(const std::string& sql) {
  ReleaseHandles();
  sql_ = sql;
  engineSql_.clear();
  paramNames_.clear();
  positions_.clear();
  params_.clear();
  // Replace ":Name" by "?" outside quotes and comments.
  const size_t n = sql.size();
  size_t i = 0;
  auto isNameChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; };
  while (i < n) {
    const char c = sql[i];
    if (c == '\'' || c == '"') {
      size_t j = i + 1;
      while (j < n) {
        if (sql[j] == c) {
          if (j + 1 < n && sql[j + 1] == c) {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      if (j >= n) Fail("Unterminated quoted text in a statement", "");
      engineSql_.append(sql, i, j - i + 1);
      i = j + 1;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      const size_t e = sql.find('\n', i);
      const size_t end = e == std::string::npos ? n : e;
      engineSql_.append(sql, i, end - i);
      i = end;
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      const size_t e = sql.find("*/", i + 2);
      if (e == std::string::npos) Fail("Unterminated comment in a statement", "");
      engineSql_.append(sql, i, e + 2 - i);
      i = e + 2;
    } else if (c == ':' && i + 1 < n && isNameChar(sql[i + 1]) && !(i > 0 && isNameChar(sql[i - 1]))) {
      size_t j = i + 1;
      while (j < n && isNameChar(sql[j])) ++j;
      const std::string name = sql.substr(i + 1, j - i - 1);
      const std::string key = UpperAscii(name);
      int idx = -1;
      for (size_t k = 0; k < paramNames_.size(); ++k)
        if (UpperAscii(paramNames_[k]) == key) idx = static_cast<int>(k);
      if (idx < 0) {
        paramNames_.push_back(name);
        idx = static_cast<int>(paramNames_.size()) - 1;
      }
      positions_.push_back(idx);
      engineSql_ += '?';
      i = j;
    } else if (c == '?') {
      Fail("Positional parameters (\"?\") are not supported; name them as \":Name\"", "");
    } else {
      engineSql_ += c;
      ++i;
    }
  }
  params_.resize(paramNames_.size());
}

const std::string& TtiFBStatement::ParamName(int index) const {
  if (index < 0 || index >= ParamCount())
    Fail(tiFormat("Parameter index %d out of range (%d parameters)", {index, ParamCount()}), "");
  return paramNames_[static_cast<size_t>(index)];
}

bool TtiFBStatement::HasParam(const std::string& name) const {
  const std::string key = UpperAscii(name);
  for (const auto& p : paramNames_)
    if (UpperAscii(p) == key) return true;
  return false;
}

TtiFBStatement::Param& TtiFBStatement::RequireParam(const std::string& name) {
  const std::string key = UpperAscii(name);
  for (size_t k = 0; k < paramNames_.size(); ++k)
    if (UpperAscii(paramNames_[k]) == key) return params_[k];
  Fail(tiFormat("The statement has no parameter \"%s\"", {name}), "");
}

const TtiFBStatement::Param& TtiFBStatement::RequireParam(const std::string& name) const {
  return const_cast<TtiFBStatement*>(this)->RequireParam(name);
}

void TtiFBStatement::SetParamString(const std::string& name, const std::string& utf8) {
  Param& p = RequireParam(name);
  try {
    p.text = tiUtf8ToWin1252(utf8);
  } catch (const EConvertError& e) {
    throw EConvertError(tiFormat("Parameter \"%s\" for %s: %s", {name, Where(), e.Message()}));
  }
  if (p.text.size() > 32765)
    Fail(tiFormat("Parameter \"%s\" is too long (%d bytes; at most 32765)", {name, p.text.size()}), "");
  p.kind = PKind::String;
}

void TtiFBStatement::SetParamInteger(const std::string& name, int64_t v) {
  Param& p = RequireParam(name);
  p.i = v;
  p.kind = PKind::Integer;
}

void TtiFBStatement::SetParamDouble(const std::string& name, double v) {
  Param& p = RequireParam(name);
  if (std::isnan(v)) Fail(tiFormat("Parameter \"%s\" is not a number (NaN)", {name}), "");
  p.d = v;
  p.kind = PKind::Double;
}

void TtiFBStatement::SetParamBoolean(const std::string& name, bool v) {
  Param& p = RequireParam(name);
  p.i = v ? 1 : 0;
  p.kind = PKind::Boolean;
}

void TtiFBStatement::SetParamDateTime(const std::string& name, double dateTime) {
  Param& p = RequireParam(name);
  if (!std::isfinite(dateTime)) Fail(tiFormat("Parameter \"%s\" is not a valid date-time", {name}), "");
  p.d = dateTime;
  p.kind = PKind::DateTime;
}

void TtiFBStatement::SetParamBlob(const std::string& name, const std::string& bytes) {
  Param& p = RequireParam(name);
  p.text = bytes;
  p.kind = PKind::Blob;
}

void TtiFBStatement::SetParamNull(const std::string& name) {
  Param& p = RequireParam(name);
  p.kind = PKind::Null;
}

bool TtiFBStatement::ParamIsNull(const std::string& name) const {
  const Param& p = RequireParam(name);
  return p.kind == PKind::Null || p.kind == PKind::Unset;
}

TtiFBStatement::TParamValue TtiFBStatement::ParamValue(const std::string& name) const {
  const Param& p = RequireParam(name);
  TParamValue v;
  v.Kind = p.kind;
  if (p.kind == PKind::String) v.Text = tiWin1252ToUtf8(p.text);
  if (p.kind == PKind::Blob) v.Text = p.text;
  v.Integer = p.i;
  v.Number = p.d;
  return v;
}

void TtiFBStatement::ClearParams() {
  Close();
  for (Param& p : params_) p = Param();
}

bool TtiFBStatement::Prepared() const { return static_cast<bool>(impl_->stmt); }

bool TtiFBStatement::IsSelect() {
  Prepare();
  return impl_->type == isc_info_sql_stmt_select || impl_->type == isc_info_sql_stmt_select_for_upd;
}

void TtiFBStatement::Prepare() {
  if (Prepared()) return;
  if (sql_.empty()) Fail("Cannot prepare an empty statement", "");
  if (orphaned_) Fail("Cannot prepare a statement", "");
  if (!db_.Connected()) Fail("Cannot prepare a statement", "the database is not connected");
  TtiFBTransaction& tr = Tr("Cannot prepare a statement");
  if (!tr.Active()) Fail("Cannot prepare a statement", "the transaction is not active");
  std::string text;
  try {
    text = tiUtf8ToWin1252(engineSql_);
  } catch (const EConvertError& e) {
    throw EConvertError(tiFormat("Statement for %s: %s", {Where(), e.Message()}));
  }
  // A prepare that fails leaves no half-prepared statement behind.
  TtiUndoUnlessDone unprepare([this] { ReleaseHandles(); });
  Status st;
  try {
    impl_->stmt.reset(db_.impl_->att->prepare(&st, tr.impl_->tra.get(), 0, text.c_str(), db_.SQLDialect(),
                                              fb::IStatement::PREPARE_PREFETCH_METADATA));
    impl_->type = impl_->stmt->getType(&st);
    impl_->inMeta.reset(impl_->stmt->getInputMetadata(&st));
    impl_->outMeta.reset(impl_->stmt->getOutputMetadata(&st));
    if (impl_->inMeta->getCount(&st) != positions_.size())
      Fail("Cannot prepare a statement",
           tiFormat("the engine sees %d parameters, the text names %d", {impl_->inMeta->getCount(&st),
                                                                            positions_.size()}));
    const unsigned cols = impl_->outMeta->getCount(&st);
    impl_->columns.clear();
    impl_->offsets.clear();
    impl_->nullOffsets.clear();
    for (unsigned k = 0; k < cols; ++k) {
      TtiFBColumn c;
      c.Name = tiWin1252ToUtf8(impl_->outMeta->getField(&st, k));
      c.Alias = tiWin1252ToUtf8(impl_->outMeta->getAlias(&st, k));
      c.Relation = tiWin1252ToUtf8(impl_->outMeta->getRelation(&st, k));
      c.SQLType = impl_->outMeta->getType(&st, k) & ~1u;
      c.SubType = impl_->outMeta->getSubType(&st, k);
      c.Scale = impl_->outMeta->getScale(&st, k);
      c.Length = impl_->outMeta->getLength(&st, k);
      c.CharSet = impl_->outMeta->getCharSet(&st, k);
      if (c.Alias.empty()) c.Alias = c.Name;
      impl_->columns.push_back(std::move(c));
      impl_->offsets.push_back(impl_->outMeta->getOffset(&st, k));
      impl_->nullOffsets.push_back(impl_->outMeta->getNullOffset(&st, k));
    }
    impl_->outBuf.assign(impl_->outMeta->getMessageLength(&st), 0);
  } catch (const fb::FbException& e) {
    Fail("Cannot prepare a statement", EngineText(e), EngineCode(e));
  }
  unprepare.Done();
}

namespace {

// How a bound value travels to the engine: its message type (the "+ 1" admits NULL) and length; numbers go as
// fixed-size values of scale 0. Strings (their length) and NULLs (the engine's own type) are described apart.
struct TInputKind {
  PKind kind;
  unsigned sqlType;
  unsigned length;
};
constexpr TInputKind kInputKinds[] = {
    {PKind::Integer, SQL_INT64, sizeof(ISC_INT64)},      {PKind::Double, SQL_DOUBLE, sizeof(double)},
    {PKind::Boolean, SQL_SHORT, sizeof(short)},          {PKind::DateTime, SQL_TIMESTAMP, sizeof(ISC_TIMESTAMP)},
    {PKind::Blob, SQL_BLOB, sizeof(ISC_QUAD)},
};

}  // namespace

// Describing and writing one bound value of a statement.
struct TtiFBStatementInput {
  using Param = TtiFBStatement::Param;
  static void Describe(Status& st, fb::IMetadataBuilder& b, unsigned k, const Param& p, fb::IMessageMetadata& in);
  static void Write(Status& st, unsigned char* v, const Param& p, fb::IAttachment& att, fb::ITransaction* tra);
};

void TtiFBStatementInput::Describe(Status& st, fb::IMetadataBuilder& b, unsigned k, const Param& p,
                                   fb::IMessageMetadata& in) {
  if (p.kind == PKind::String) {
    b.setType(&st, k, SQL_VARYING + 1);
    b.setLength(&st, k, static_cast<unsigned>(std::max<size_t>(p.text.size(), 1)));
    b.setCharSet(&st, k, kCharSetWin1252);
    return;
  }
  for (const TInputKind& ik : kInputKinds)
    if (ik.kind == p.kind) {
      b.setType(&st, k, ik.sqlType + 1);
      b.setLength(&st, k, ik.length);
      b.setScale(&st, k, 0);
      b.setSubType(&st, k, 0);
      return;
    }
  b.setType(&st, k, in.getType(&st, k) | 1u);  // NULL: the engine's own type
}

void TtiFBStatementInput::Write(Status& st, unsigned char* v, const Param& p, fb::IAttachment& att,
                                fb::ITransaction* tra) {
  switch (p.kind) {
    case PKind::String: {
      const auto len = static_cast<unsigned short>(p.text.size());
      std::memcpy(v, &len, sizeof len);
      std::memcpy(v + sizeof len, p.text.data(), p.text.size());
      return;
    }
    case PKind::Integer: {
      const ISC_INT64 x = p.i;
      std::memcpy(v, &x, sizeof x);
      return;
    }
    case PKind::Double: std::memcpy(v, &p.d, sizeof p.d); return;
    case PKind::Boolean: {
      const auto x = static_cast<short>(p.i);
      std::memcpy(v, &x, sizeof x);
      return;
    }
    case PKind::DateTime: {
      ISC_TIMESTAMP ts;
      DateTimeToIsc(p.d, ts.timestamp_date, ts.timestamp_time);
      std::memcpy(v, &ts, sizeof ts);
      return;
    }
    case PKind::Blob: {
      ISC_QUAD id{};
      UseBlob(st, att.createBlob(&st, tra, &id, 0, nullptr), [&](fb::IBlob* blob) {
        for (size_t off = 0; off < p.text.size(); off += 32768) {
          const size_t len = std::min<size_t>(32768, p.text.size() - off);
          blob->putSegment(&st, static_cast<unsigned>(len), p.text.data() + off);
        }
      });
      std::memcpy(v, &id, sizeof id);
      return;
    }
    case PKind::Null:
    case PKind::Unset: return;
  }
}

void TtiFBStatement::BuildInput() {
  impl_->bindMeta.reset();
  impl_->inBuf.clear();
  const unsigned n = static_cast<unsigned>(positions_.size());
  if (n == 0) return;
  auto param = [this](unsigned k) -> const Param& { return params_[static_cast<size_t>(positions_[k])]; };
  for (unsigned k = 0; k < n; ++k)
    if (param(k).kind == PKind::Unset)
      Fail(tiFormat("Parameter \"%s\" has no value", {paramNames_[static_cast<size_t>(positions_[k])]}), "");
  Status st;
  try {
    {
      const FbRef<fb::IMetadataBuilder> b(impl_->inMeta->getBuilder(&st));
      for (unsigned k = 0; k < n; ++k) TtiFBStatementInput::Describe(st, *b.get(), k, param(k), *impl_->inMeta.get());
      impl_->bindMeta.reset(b->getMetadata(&st));
    }
    fb::IMessageMetadata* m = impl_->bindMeta.get();
    impl_->inBuf.assign(m->getMessageLength(&st), 0);
    unsigned char* buf = impl_->inBuf.data();
    for (unsigned k = 0; k < n; ++k) {
      const short nul = param(k).kind == PKind::Null ? -1 : 0;
      std::memcpy(buf + m->getNullOffset(&st, k), &nul, sizeof nul);
      TtiFBStatementInput::Write(st, buf + m->getOffset(&st, k), param(k), *db_.impl_->att.get(),
                                 tr_->impl_->tra.get());
    }
  } catch (const fb::FbException& e) {
    Fail("Cannot bind the parameters", EngineText(e), EngineCode(e));
  }
}

void TtiFBStatement::Execute() {
  Close();
  Prepare();
  TtiFBTransaction& tr = Tr("Cannot run a statement");
  if (!tr.Active()) Fail("Cannot run a statement", "the transaction is not active");
  if (impl_->type == isc_info_sql_stmt_select || impl_->type == isc_info_sql_stmt_select_for_upd)
    Fail("Cannot run a SELECT with Execute", "open it instead");
  BuildInput();
  tr.impl_->wrote = true;
  Status st;
  try {
    const bool hasOut = !impl_->columns.empty();
    impl_->stmt->execute(&st, tr.impl_->tra.get(), impl_->bindMeta.get(),
                         impl_->inBuf.empty() ? nullptr : impl_->inBuf.data(), hasOut ? impl_->outMeta.get() : nullptr,
                         hasOut ? impl_->outBuf.data() : nullptr);
    impl_->affected = static_cast<int64_t>(impl_->stmt->getAffectedRecords(&st));
  } catch (const fb::FbException& e) {
    Fail("Statement failed", EngineText(e), EngineCode(e));
  }
}

void TtiFBStatement::Open() {
  Close();
  Prepare();
  TtiFBTransaction& tr = Tr("Cannot open a query");
  if (!tr.Active()) Fail("Cannot open a query", "the transaction is not active");
  if (impl_->columns.empty()) Fail("Cannot open a statement that returns no rows", "");
  BuildInput();
  Status st;
  try {
    impl_->cursor.reset(impl_->stmt->openCursor(&st, tr.impl_->tra.get(), impl_->bindMeta.get(),
                                                impl_->inBuf.empty() ? nullptr : impl_->inBuf.data(),
                                                impl_->outMeta.get(), 0));
  } catch (const fb::FbException& e) {
    Fail("Cannot open a query", EngineText(e), EngineCode(e));
  }
  impl_->eof = false;
  Next();
}

bool TtiFBStatement::Active() const { return static_cast<bool>(impl_->cursor); }

bool TtiFBStatement::Eof() const { return impl_->eof; }

void TtiFBStatement::Next() {
  if (!impl_->cursor) Fail("Cannot fetch a row", "the query is not open");
  if (impl_->eof) return;
  Status st;
  try {
    const int rc = impl_->cursor->fetchNext(&st, impl_->outBuf.data());
    impl_->eof = rc != fb::IStatus::RESULT_OK;
  } catch (const fb::FbException& e) {
    impl_->eof = true;
    Fail("Cannot fetch a row", EngineText(e), EngineCode(e));
  }
}

void TtiFBStatement::Close() {
  if (!impl_->cursor) return;
  Status st;
  try {
    impl_->cursor->close(&st);
    impl_->cursor.Consumed();
  } catch (const fb::FbException&) {
    // A cursor whose transaction already ended cannot be closed: releasing it is all that is left to do.
    impl_->cursor.reset();
  }
  impl_->eof = true;
}

int64_t TtiFBStatement::RowsAffected() const { return impl_->affected; }

int TtiFBStatement::FieldCount() const { return static_cast<int>(impl_->columns.size()); }

const TtiFBColumn& TtiFBStatement::Column(int index) const {
  if (index < 0 || index >= FieldCount())
    Fail(tiFormat("Column index %d out of range (%d columns)", {index, FieldCount()}), "");
  return impl_->columns[static_cast<size_t>(index)];
}

const std::string& TtiFBStatement::FieldName(int index) const { return Column(index).Alias; }

int TtiFBStatement::FieldIndex(const std::string& name) const {
  const std::string key = UpperAscii(name);
  for (size_t k = 0; k < impl_->columns.size(); ++k)
    if (UpperAscii(impl_->columns[k].Alias) == key) return static_cast<int>(k);
  return -1;
}

int TtiFBStatement::RequireField(const std::string& name) const {
  const int k = FieldIndex(name);
  if (k < 0) Fail(tiFormat("The query has no column \"%s\"", {name}), "");
  return k;
}

void TtiFBStatement::CheckRow(int index) const {
  if (!impl_->cursor || impl_->eof) Fail("Cannot read a column", "there is no current row");
  Column(index);
}

bool TtiFBStatement::FieldIsNull(int index) const {
  CheckRow(index);
  short nul;
  std::memcpy(&nul, impl_->outBuf.data() + impl_->nullOffsets[static_cast<size_t>(index)], sizeof nul);
  return nul != 0;
}

namespace {
template <typename T>
T Load(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::string ScaledText(int64_t v, int scale) {
  if (scale >= 0) {
    std::string s = std::to_string(v);
    if (v != 0) s.append(static_cast<size_t>(scale), '0');
    return s;
  }
  const bool neg = v < 0;
  std::string digits = std::to_string(neg ? -static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v));
  const auto places = static_cast<size_t>(-scale);
  if (digits.size() <= places) digits.insert(0, places - digits.size() + 1, '0');
  digits.insert(digits.size() - places, ".");
  return (neg ? "-" : "") + digits;
}
}  // namespace

std::string TtiFBStatement::RawText(int index) const {
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  const unsigned char* p = impl_->outBuf.data() + impl_->offsets[static_cast<size_t>(index)];
  if (c.SQLType == SQL_TEXT) return std::string(reinterpret_cast<const char*>(p), c.Length);
  const auto len = Load<unsigned short>(p);
  return std::string(reinterpret_cast<const char*>(p + sizeof(unsigned short)), len);
}

std::string TtiFBStatement::FieldAsBlob(int index) const {
  CheckRow(index);
  if (FieldIsNull(index)) return {};
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  if (c.SQLType == SQL_TEXT || c.SQLType == SQL_VARYING) return RawText(index);
  if (c.SQLType != SQL_BLOB) Fail(tiFormat("Column \"%s\" is not a BLOB", {c.Alias}), "");
  ISC_QUAD id = Load<ISC_QUAD>(impl_->outBuf.data() + impl_->offsets[static_cast<size_t>(index)]);
  std::string out;
  Status st;
  try {
    UseBlob(st, db_.impl_->att->openBlob(&st, Tr("Cannot read a BLOB").impl_->tra.get(), &id, 0, nullptr),
            [&](fb::IBlob* blob) {
      char seg[32768];
      for (;;) {
        unsigned got = 0;
        const int rc = blob->getSegment(&st, sizeof seg, seg, &got);
        if (rc != fb::IStatus::RESULT_OK && rc != fb::IStatus::RESULT_SEGMENT) break;
        out.append(seg, got);
      }
    });
  } catch (const fb::FbException& e) {
    Fail(tiFormat("Cannot read the BLOB column \"%s\"", {c.Alias}), EngineText(e), EngineCode(e));
  }
  return out;
}

std::string TtiFBStatement::FieldAsString(int index) const {
  CheckRow(index);
  if (FieldIsNull(index)) return {};
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  const unsigned char* p = impl_->outBuf.data() + impl_->offsets[static_cast<size_t>(index)];
  switch (c.SQLType) {
    case SQL_TEXT:
    case SQL_VARYING:
      return c.CharSet == kCharSetOctets ? RawText(index) : tiWin1252ToUtf8(RawText(index));
    case SQL_SHORT:
      return ScaledText(Load<short>(p), c.Scale);
    case SQL_LONG:
      return ScaledText(Load<ISC_LONG>(p), c.Scale);
    case SQL_INT64:
      return ScaledText(Load<ISC_INT64>(p), c.Scale);
    case SQL_FLOAT:
      return NumberText(Load<float>(p));
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return Value::FloatToText(Load<double>(p));
    case SQL_BOOLEAN:
      return *p ? "1" : "0";
    case SQL_BLOB: {
      std::string raw = FieldAsBlob(index);
      return (c.SubType == 1 && c.CharSet != kCharSetOctets) ? tiWin1252ToUtf8(raw) : raw;
    }
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME: {
      unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, frac = 0;
      auto* util = Master()->getUtilInterface();
      char buf[48];
      if (c.SQLType == SQL_TYPE_TIME) {
        util->decodeTime(Load<ISC_TIME>(p), &h, &mi, &s, &frac);
        std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", h, mi, s);
      } else if (c.SQLType == SQL_TYPE_DATE) {
        util->decodeDate(Load<ISC_DATE>(p), &y, &mo, &d);
        std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", y, mo, d);
      } else {
        const auto ts = Load<ISC_TIMESTAMP>(p);
        util->decodeDate(ts.timestamp_date, &y, &mo, &d);
        util->decodeTime(ts.timestamp_time, &h, &mi, &s, &frac);
        std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", y, mo, d, h, mi, s);
      }
      return buf;
    }
    default:
      Fail(tiFormat("Column \"%s\" has a type this program cannot read (%d)", {c.Alias, c.SQLType}), "");
  }
}

double TtiFBStatement::FieldAsFloat(int index) const {
  CheckRow(index);
  if (FieldIsNull(index)) return 0.0;
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  const unsigned char* p = impl_->outBuf.data() + impl_->offsets[static_cast<size_t>(index)];
  if ((c.SQLType == SQL_SHORT || c.SQLType == SQL_LONG || c.SQLType == SQL_INT64) && c.Scale != 0) {
    // Parse the exact decimal text so that 0.99 stored as NUMERIC reads as the double nearest to 0.99
    // (multiplying by 0.01 can land one unit in the last place away).
    const int64_t raw = c.SQLType == SQL_SHORT  ? Load<short>(p)
                        : c.SQLType == SQL_LONG ? Load<ISC_LONG>(p)
                                                : Load<ISC_INT64>(p);
    const std::string t = ScaledText(raw, c.Scale);
    double v = 0.0;
    std::from_chars(t.data(), t.data() + t.size(), v);
    return v;
  }
  switch (c.SQLType) {
    case SQL_SHORT:
      return Load<short>(p);
    case SQL_LONG:
      return Load<ISC_LONG>(p);
    case SQL_INT64:
      return static_cast<double>(Load<ISC_INT64>(p));
    case SQL_FLOAT:
      return Load<float>(p);
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return Load<double>(p);
    case SQL_BOOLEAN:
      return *p ? 1.0 : 0.0;
    case SQL_TEXT:
    case SQL_VARYING: {
      const std::string t = TrimBlanks(FieldAsString(index));
      double v = 0.0;
      const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
      if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
        throw EConvertError(
            tiFormat("Column \"%s\" of %s: \"%s\" is not a number", {c.Alias, Where(), t}));
      return v;
    }
    default:
      throw EConvertError(tiFormat("Column \"%s\" of %s cannot be read as a number", {c.Alias, Where()}));
  }
}

int64_t TtiFBStatement::FieldAsInteger(int index) const {
  CheckRow(index);
  if (FieldIsNull(index)) return 0;
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  const unsigned char* p = impl_->outBuf.data() + impl_->offsets[static_cast<size_t>(index)];
  if (c.Scale == 0) {
    switch (c.SQLType) {
      case SQL_SHORT:
        return Load<short>(p);
      case SQL_LONG:
        return Load<ISC_LONG>(p);
      case SQL_INT64:
        return Load<ISC_INT64>(p);
      case SQL_BOOLEAN:
        return *p ? 1 : 0;
      default:
        break;
    }
  }
  if (c.SQLType == SQL_TEXT || c.SQLType == SQL_VARYING) {
    const std::string t = TrimBlanks(FieldAsString(index));
    int64_t v = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
      throw EConvertError(
          tiFormat("Column \"%s\" of %s: \"%s\" is not an integer", {c.Alias, Where(), t}));
    return v;
  }
  const double d = FieldAsFloat(index);
  if (d != std::floor(d) || std::fabs(d) > 9.0e15)
    throw EConvertError(tiFormat("Column \"%s\" of %s: %s is not an integer", {c.Alias, Where(),
                                                                               NumberText(d)}));
  return static_cast<int64_t>(d);
}

bool TtiFBStatement::FieldAsBoolean(int index) const {
  CheckRow(index);
  if (FieldIsNull(index)) return false;
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  if (c.SQLType == SQL_TEXT || c.SQLType == SQL_VARYING) {
    const std::string t = UpperAscii(TrimBlanks(FieldAsString(index)));
    return t == "T" || t == "TRUE" || t == "Y" || t == "YES" || t == "1";
  }
  return FieldAsFloat(index) != 0.0;
}

double TtiFBStatement::FieldAsDateTime(int index) const {
  CheckRow(index);
  if (FieldIsNull(index)) return 0.0;
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  const unsigned char* p = impl_->outBuf.data() + impl_->offsets[static_cast<size_t>(index)];
  switch (c.SQLType) {
    case SQL_TIMESTAMP: {
      const auto ts = Load<ISC_TIMESTAMP>(p);
      return IscToDateTime(ts.timestamp_date, ts.timestamp_time);
    }
    case SQL_TYPE_DATE:
      return IscToDateTime(Load<ISC_DATE>(p), 0);
    case SQL_TYPE_TIME:
      return Load<ISC_TIME>(p) / kTicksPerDay;
    case SQL_TEXT:
    case SQL_VARYING:
    case SQL_BLOB:
      throw EConvertError(tiFormat("Column \"%s\" of %s cannot be read as a date-time", {c.Alias, Where()}));
    default:
      return FieldAsFloat(index);
  }
}

}  // namespace kelvado
