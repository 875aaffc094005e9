#pragma once
// The tables of a project file (and of the clipboard store): 24 tables with their columns, kinds and declared
// widths; creating the missing ones in a new store, emptying them for the clipboard, and the check that a
// file holds nothing these tables cannot hold and that its rows form a tree (run before a file is read).
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/tiQuery.h"

namespace kelvado {

class TtiDatabase;

// Names of the three link tables (the class tables are named by TableNameForClass).
inline constexpr const char* cDCMeasureInsuffPLsTable = "DCMeasureInsuffPLs";
inline constexpr const char* cCatReqConditionTable = "CatReqCondition";
inline constexpr const char* cPLReqConditionTable = "PLReqCondition";

struct TXMLColumn {
  std::string_view Name;
  TtiQueryFieldKind Kind;
  int Width;
};

struct TXMLTableDef {
  std::string Name;
  std::vector<TXMLColumn> Columns;
  // Ignoring case; null when the table declares no such column.
  const TXMLColumn* FindColumn(std::string_view name) const;
};

// The 24 tables in the order in which CreateXMLTables creates them, columns in declaration order.
const std::vector<TXMLTableDef>& XMLTableDefs();
// Ignoring case (the store keeps names in lower case); null for a table a project file does not have.
const TXMLTableDef* FindXMLTableDef(std::string_view name);

// Runs `Work` on a database of the store locked from its pool (empty names: the layer's defaults), given back
// in every case.
void WithLockedDatabase(const std::string& DatabaseName, const std::string& PersistenceLayerName,
                        const std::function<void(TtiDatabase&)>& Work);

// Creates in the store every table of XMLTableDefs that it does not hold yet; an existing table is left as it
// is (an older file keeps its older columns). Errors of the persistence manager or the store pass on; tables
// created before an error stay created.
void CreateXMLTables(const std::string& DatabaseName, const std::string& PersistenceLayerName);
// The same on a database the caller has locked, inside its open transaction (the caller commits): all tables
// reach the file in one write.
void CreateXMLTables(TtiDatabase& Database);
// Deletes every row of every table but LibMetaData, link tables first, children before their owners.
void ResetXMLTables(const std::string& DatabaseName, const std::string& PersistenceLayerName);

// Refuses a store whose content the project tables cannot hold or whose rows do not form a tree, before
// anything of it is read: a table or column a project file does not have (its data would be lost at the next
// save), a row without OID, an OID twice in a table, a reference to a row that does not exist, a data object
// referenced by two rows. Raises EIOError naming file, table, row (its 1-based number) and column; see the
// msgXML... numbers. Reads through the store's own queries and writes nothing. The columns checked are those
// the tables declare; on the XML layer, whose query reports only declared columns, every row attribute must
// also be a declared column of its table (msgXMLUnknownColumn).
void CheckXMLTables(const std::string& DatabaseName, const std::string& PersistenceLayerName);
void CheckXMLTables(TtiDatabase& Database);

// Error texts (base 1000) of a project file's content. Arguments: the file, the table, then as listed.
inline constexpr int msgXMLUnknownTable = 1060;      // -
inline constexpr int msgXMLUnknownColumn = 1061;     // column
inline constexpr int msgXMLDuplicateOID = 1062;      // row, column, OID
inline constexpr int msgXMLDanglingReference = 1063; // row, column, OID, table the OID should be in
inline constexpr int msgXMLInvalidValue = 1064;      // row, column, value
inline constexpr int msgXMLReferencedTwice = 1065;   // row, column, OID

// Raises EIOError with one of the texts above.
[[noreturn]] void RaiseXMLDataError(int Msg, const std::string& FileName, const std::string& Table,
                                    std::vector<std::string> More = {});

}  // namespace kelvado
