#include "tests/framework/fuzz/XMLStoreFuzz.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "framework/tiExcept.h"
#include "framework/tiQueryXML.h"
#include "framework/tiXML.h"

namespace kelvado::fuzz {

namespace {

// One file per process, on a memory file system when there is one (saving syncs the file to disk).
class TWorkFile {
public:
  TWorkFile() {
    const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(dir) + "/kelvado-xmlfuzz-XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) std::abort();
    ::close(fd);
    name_ = tmpl;
  }
  ~TWorkFile() { ::unlink(name_.c_str()); }
  const std::string& Name() const { return name_; }

private:
  std::string name_;
};

const std::string& WorkFile() {
  static TWorkFile file;
  return file.Name();
}

void WriteInput(const std::string& name, const uint8_t* data, size_t size) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_TRUNC | O_CREAT, 0600);
  if (fd < 0) std::abort();
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

[[noreturn]] void Broken(const std::string& what) {
  std::fprintf(stderr, "XML store fuzz: %s\n", what.c_str());
  std::abort();
}

template <class F>
void Try(F f) {
  try {
    f();
  } catch (const Exception&) {
    // Refusing bad input with the framework's errors is right.
  }
}

void ReadEverything(TtiDatabaseXML& db) {
  TtiDBMetaData md;
  db.ReadMetaDataTables(md);
  for (int i = 0; i < md.Count(); ++i) {
    TtiDBMetaDataTable& table = *md.Items(i);
    Try([&] { db.ReadMetaDataFields(table); });
    TtiQueryXML q;
    q.AttachDatabase(&db);
    Try([&] {
      q.SelectRow(table.GetName(), nullptr);
      std::string firstName, firstValue;
      for (int row = 0; !q.Eof() && row < 500; q.Next(), ++row) {
        int count = 0;
        Try([&] { count = q.FieldCount(); });
        for (int f = 0; f < count && f < 64; ++f) {
          std::string name;
          Try([&] { name = q.FieldName(f); });
          Try([&] { q.FieldKind(f); });
          Try([&] { q.FieldSize(f); });
          Try([&] { q.FieldIndex(name); });
          Try([&] {
            const std::string v = q.FieldAsString(name);
            if (row == 0 && f == 0) {
              firstName = name;
              firstValue = v;
            }
          });
          Try([&] { q.FieldAsStringByIndex(f); });
          Try([&] { q.FieldAsInteger(name); });
          Try([&] { q.FieldAsFloatByIndex(f); });
          Try([&] { q.FieldAsDateTime(name); });
          Try([&] { q.FieldAsBoolean(name); });
          Try([&] { q.FieldIsNullByIndex(f); });
          Try([&] {
            std::ostringstream out;
            q.AssignFieldAsStream(name, out);
          });
        }
      }
      // Through the index of the first column, twice (the second time the index is there).
      if (!firstName.empty())
        for (int k = 0; k < 2; ++k) {
          TtiQueryParams where;
          where.SetValueAsString(firstName, firstValue);
          q.SelectRow(table.GetName(), &where);
          for (int row = 0; !q.Eof() && row < 500; q.Next(), ++row) q.FieldAsString(firstName);
        }
    });
  }
}

void ChangeAndSave(TtiDatabaseXML& db) {
  TtiDBMetaData md;
  db.ReadMetaDataTables(md);
  db.StartTransaction();
  try {
    TtiQueryXML q;
    q.AttachDatabase(&db);
    for (int i = 0; i < md.Count() && i < 3; ++i) {
      const std::string name = md.Items(i)->GetName();
      TtiDBMetaDataTable fields;
      fields.SetName(name);
      Try([&] { db.ReadMetaDataFields(fields); });
      TtiQueryParams values;
      for (int f = 0; f < fields.Count() && f < 16; ++f)
        values.SetValueAsString(fields.Items(f)->GetName(), "fuzz\r\n<&>\"'");
      Try([&] { q.InsertRow(name, &values); });
      if (fields.Count() > 0) {
        TtiQueryParams where, changed;
        where.SetValueAsString(fields.Items(0)->GetName(), "fuzz\r\n<&>\"'");
        changed.SetValueAsString(fields.Items(0)->GetName(), "changed");
        Try([&] { q.UpdateRow(name, &changed, &where); });
        Try([&] { q.DeleteRow(name, &changed); });
        Try([&] { q.UpdateRow(name, &changed, nullptr); });
      }
    }
    TtiDBMetaDataTable added;
    added.SetName("fuzz_added");
    added.AddField("oid", qfkString, 36);
    Try([&] { db.CreateTable(added); });
    if (md.Count() > 0) Try([&] { db.DropTable(*md.Items(md.Count() - 1)); });
    db.Commit();
  } catch (const Exception&) {
    Try([&] { db.RollBack(); });
  }
}

}  // namespace

int FuzzXMLStoreOneInput(const uint8_t* data, size_t size) {
  // Escaping with the markup table restores every text exactly.
  if (size < 4096) {
    static const TtiXMLReservedCharsTranslator translator;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (translator.RemoveReservedChars(xckMarkup, translator.InsertReservedChars(xckMarkup, text)) != text)
      Broken("escaping does not round-trip");
  }

  const std::string& file = WorkFile();
  WriteInput(file, data, size);
  TtiDatabaseXML db;
  try {
    db.Connect(file, "", "", "");
  } catch (const EtiPerDBExceptionCanNotConnect&) {
    return 0;
  }
  Try([&] { ReadEverything(db); });
  ChangeAndSave(db);

  // Whatever the store saved, it reads again.
  TtiDatabaseXML again;
  try {
    again.Connect(file, "", "", "");
  } catch (const Exception& e) {
    Broken(std::string("a file the store wrote does not read again: ") + e.what());
  }
  Try([&] { ReadEverything(again); });
  return 0;
}

}  // namespace kelvado::fuzz
