#pragma once
// The tables of a project file (and of the clipboard store): 24 tables with their columns, kinds and declared
// widths; creating the missing ones in a new store, emptying them for the clipboard, and the check that a
// file holds nothing these tables cannot hold and that its rows form a tree (run before a file is read).
#include <string>
#include <string_view>
#include <vector>

#include "framework/tiQuery.h"
#include "model/MsgIds.h"

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
// save), a row without OID, an OID twice in a table, a reference to a row that does not exist, a node without
// its data object, a data object referenced by two rows or by none. Raises EIOError naming file, table, row
// (its 1-based number) and column; see the msgXML... numbers. Reads through the store's own queries and writes
// nothing. The columns checked are those the tables declare; on the XML layer, whose query reports only
// declared columns, every row attribute must also be a declared column of its table (msgXMLUnknownColumn).
// A project file (ProjectFile) holds no item outside a project: every node row names the node it belongs to and
// every DC-measure node is chosen by an element or block (an exported or copied list of items has such rows at
// its top); opened otherwise, those rows would be dropped by the project's next save.
void CheckXMLTables(const std::string& DatabaseName, const std::string& PersistenceLayerName,
                    bool ProjectFile = false);
void CheckXMLTables(TtiDatabase& Database, bool ProjectFile = false);

// Raises EIOError with one of the msgXML... texts of model/MsgIds.h (the file, the table, then as listed there).
[[noreturn]] void RaiseXMLDataError(int Msg, const std::string& FileName, const std::string& Table,
                                    std::vector<std::string> More = {});

}  // namespace kelvado
