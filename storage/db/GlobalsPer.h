#pragma once
// Shared routines of the library and project storages: the table name of each business class, the float texts
// that stand for infinity in stored data, the file types and their registration with the desktop, the names
// of default, new, list and rescue files, the data folders, file operations, folder selection and the
// start-up check of the data files.
//
// Paths use "/" as separator. A stored folder starting with "../" is relative to a base folder (see
// CheckRelativePath in model/GlobalsConfig.h).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "framework/tiBaseObject.h"
#include "model/GlobalsFolders.h"

namespace kelvado {

// ---- File types ----

// Extensions, without the dot.
inline constexpr const char* ProjectFileExt = "kvd";
inline constexpr const char* LibraryFileExt = "klb";
inline constexpr const char* ExportFileExt = "xml";

std::string ProjectProgID();            // "KELVADO.Project"
std::string LibraryProgID();            // "KELVADO.Library"
std::string ProjectFileDescription();   // "KELVADO project file"
std::string LibraryFileDescription();   // "KELVADO library file"

// The lower-cased extension of the file name is ".klb" / ".kvd".
bool IsLibraryFile(const std::string& FileName);
bool IsProjectFile(const std::string& FileName);

// ---- Class-to-table map ----

// The table that holds the objects of exactly this class (a subclass does not inherit its parent's row; a test
// channel shares the channel tables). Any other class raises EInvalidValue (msgInvalidValue with the class name).
std::string TableNameForClass(const TtiClass& Cls);
// The same by class name, for callers that hold only the name (e.g. read from a store).
std::string TableNameForClass(std::string_view ClassName);
// The table of the object's own class.
std::string TableNameForObject(const TtiBaseObject& Obj);
template <class T>
std::string TableNameForClass() {
  return TableNameForClass(T::StaticClass());
}

// ---- Stored infinity ----

// Stored data cannot hold infinity: +infinity (and a NaN) are stored as this number and read back as
// +infinity.
inline constexpr double StoredInfinity = -2.0;

// +infinity, NaN and exactly -2.0 give "-2"; any other value its general-format text (15 significant digits,
// "." as separator). -infinity has no stored form and raises EConvertError rather than writing a text that
// could not be read back.
void FloatToStrInf(double Value, std::string& S);
std::string FloatToStrInf(double Value);
// "-2" gives +infinity; any other text its number ("-2.0" gives -2.0). A text that is not a number raises
// EConvertError naming it.
double StrToFloatInf(std::string_view S);
// The same with another decimal separator: "," reads "12,5" as 12.5 (and refuses "12.5"), as files written
// under a locale with a decimal comma hold their numbers. "-2" still gives +infinity.
double StrToFloatInf(std::string_view S, char DecimalSeparator);
// -2.0 and NaN give +infinity; any other value is returned unchanged.
double StoredFloatToInf(double Value);

// ---- Registration of the file types with the desktop ----
// The freedesktop counterpart of the shell's file-type keys: a MIME package
// $XDG_DATA_HOME/mime/packages/kelvado-<ext>.xml maps "*.<ext>" to the file type's MIME type (which is
// derived from the ProgID), and a desktop entry $XDG_DATA_HOME/applications/<progid>.desktop opens files of
// that type with the program. Files are written atomically.

// The data folder of the user: $XDG_DATA_HOME when it is an absolute path, else $HOME/.local/share; empty when
// there is no home folder.
std::string UserDataHome();
// "application/x-" + the ProgID lower-cased with "." turned into "-" ("application/x-kelvado-project").
std::string MimeTypeForProgID(const std::string& ProgID);
// The two files written for a registration (empty when UserDataHome is empty). Ext with or without the dot.
std::string MimePackageFileName(const std::string& Ext);
std::string DesktopEntryFileName(const std::string& ProgID);

// False for an empty Ext; "." is put in front of Ext when missing. True when the MIME package of Ext maps it
// to the MIME type of ProgID; a package that exists but cannot be read counts as registered.
bool IsFileTypeRegistered(std::string Ext, const std::string& ProgID);
// Writes the MIME package of Ext (glob, MIME type, Description as comment) and the desktop entry of ProgID
// (opening with ExeFile and Argument, "%1" standing for the file; IconFile as icon when not empty; IconIndex
// has no counterpart here). Nothing is written, and the result is false, unless Ext is longer than one
// character and ProgID is not empty, or when Ext or ProgID hold characters other than letters, digits and
// ".+-_" (they become file names). A failing write raises Exception naming the file or folder. The desktop's
// MIME cache is refreshed when the tool for it is installed.
bool RegisterFileType(std::string Ext, const std::string& ProgID, const std::string& Description,
                      const std::string& ExeFile, const std::string& Argument, const std::string& IconFile,
                      int IconIndex);
// The same for the program's own file types: any failure raises EKelvado 1013, its text followed by the
// cause (the file or folder that could not be written) when there is one.
void RegisterOwnFileType(const std::string& Ext, const std::string& ProgID, const std::string& Description,
                         const std::string& IconFile);

// ---- File names and folders ----

std::string DefaultProjectFileName();  // "Default.kvd"
// The first "Project<n>.kvd" (n = 1, 2, ...) that does not exist in Folder; Name holds no folder.
void NextFreeProjectName(const std::string& Folder, std::string& Name);
// The text-file forms of the library list and the list of open projects, beside the program.
std::string LibListFileName();      // <program folder>/LibList.txt
std::string ProjectListFileName();  // <program folder>/ProjectList.txt
// FileName + ".rescue"; while that exists, FileName + ".rescue_<n>" for n = 1, 2, ...: never an existing file.
void RescueFileName(const std::string& FileName, std::string& Name);
std::string RescueFileName(const std::string& FileName);
// The configuration key libfolder.
std::string LibraryFolder();

// Shell special folders by their CSIDL numbers. Only these have a counterpart; any other gives empty.
inline constexpr int CSIDL_PERSONAL = 0x0005;       // documents
inline constexpr int CSIDL_APPDATA = 0x001A;        // $XDG_CONFIG_HOME or ~/.config
inline constexpr int CSIDL_LOCAL_APPDATA = 0x001C;  // $XDG_DATA_HOME or ~/.local/share
inline constexpr int CSIDL_PROFILE = 0x0028;        // the home folder
// The folder (no trailing "/", not created); empty when it cannot be had.
void GetSpecialFolderPath(int CSIDL, std::string& Path);

// Every "%NAME%" of a set environment variable replaced by its value; unknown names stay as they are.
void ExpandEnvironment(const std::string& S, std::string& Result);
std::string ExpandEnvironment(const std::string& S);

// Lets the user choose a folder, starting in BaseDir + SubDir (SubDir relative), else BaseDir, else the work
// folder. Cancel leaves Folder unchanged; an empty choice empties it. A choice inside BaseDir is stored
// relative to it with "../" in front; any other choice as it is. A dialog that fails raises, Folder unchanged.
void SelectFolder(const std::string& Caption, const std::string& SubDir, const std::string& BaseDir,
                  std::string& Folder);

// ---- Other ----

// Shell file operations by their codes.
inline constexpr int foMove = 1;
inline constexpr int foCopy = 2;
inline constexpr int foDelete = 3;
inline constexpr int foRename = 4;
// Move or copy the files (or folders) into the folder Target, or, for a single file, to the name Target when
// that is not a folder; rename a single file to Target; delete moves the files to the user's trash, so that
// it can be undone. An existing target is never overwritten. True when every file was handled; it stops at
// the first failure.
bool FileOperation(const std::vector<std::string>& Files, const std::string& Target, int Operation);

// True when the language file, the language texts, the general database and the default library named by the
// configuration (lngfile, lngdll, databasenamegen, databasenamelib) all exist.
bool RequiredDataFilesPresent();

// Whether project files can be validated against their schema. The validating parser (libxml2) is linked into
// the program, so this is always true.
bool IsMSXML4Installed();

}  // namespace kelvado
