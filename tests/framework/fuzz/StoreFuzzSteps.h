#pragma once
// Steps the store fuzz entries run on a connected database of their layer (Query: the layer's query class):
// read every table, column and row with every conversion, and change rows and tables and commit.
#include <sstream>
#include <string>

#include "framework/tiQuery.h"
#include "tests/framework/fuzz/FuzzSupport.h"

namespace kelvado::fuzz {

template <class Query>
void ReadEverything(TtiDatabase& db) {
  TtiDBMetaData md;
  db.ReadMetaDataTables(md);
  for (int i = 0; i < md.Count(); ++i) {
    TtiDBMetaDataTable& table = *md.Items(i);
    Try([&] { db.ReadMetaDataFields(table); });
    Query q;
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

template <class Query>
void ChangeAndSave(TtiDatabase& db) {
  TtiDBMetaData md;
  db.ReadMetaDataTables(md);
  db.StartTransaction();
  try {
    Query q;
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

}  // namespace kelvado::fuzz
