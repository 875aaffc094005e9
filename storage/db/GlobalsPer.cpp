#include "storage/db/GlobalsPer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

#include "framework/tiExcept.h"
#include "framework/tiUtils.h"
#include "model/Exceptions.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsTexts.h"
#include "platform/FileIO.h"
#include "platform/Process.h"
#include "platform/User.h"
#include "ui/FolderBrowser.h"
#include "platform/TextCase.h"

namespace fs = std::filesystem;

namespace kelvado {

namespace {

// The extension of the file name (from its last "."), dot included; empty when the name has none.
std::string ExtractFileExt(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('/');
  const size_t dot = fileName.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return fileName.substr(dot);
}

std::string WithTrailingSlash(std::string s) {
  if (!s.empty() && s.back() != '/') s += '/';
  return s;
}

// Ext and ProgID become parts of file names and of the MIME package: keep them to harmless characters.
bool IsSafeName(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '+' && c != '-' && c != '_') return false;
  return true;
}

std::string XmlEscape(std::string_view s) {
  std::string r;
  for (char c : s) {
    switch (c) {
      case '&': r += "&amp;"; break;
      case '<': r += "&lt;"; break;
      case '>': r += "&gt;"; break;
      case '"': r += "&quot;"; break;
      default: r += c;
    }
  }
  return r;
}

// A value of a desktop entry: backslash and control characters escaped as the entry format wants.
std::string DesktopValue(std::string_view s) {
  std::string r;
  for (char c : s) {
    switch (c) {
      case '\\': r += "\\\\"; break;
      case '\n': r += "\\n"; break;
      case '\r': r += "\\r"; break;
      case '\t': r += "\\t"; break;
      default: r += c;
    }
  }
  return r;
}

// One argument of a desktop entry's Exec line, quoted; "%" is doubled so it is not taken for a field code.
// Line breaks cannot be expressed: such an argument makes the entry unusable, so it is refused.
bool QuoteExecArgument(std::string_view s, std::string& out) {
  out = "\"";
  for (char c : s) {
    if (c == '\n' || c == '\r') return false;
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  out += '"';
  return true;
}

std::string FileExtWithoutDot(const std::string& ext) { return LowerAscii(ext[0] == '.' ? ext.substr(1) : ext); }

struct TableRow {
  std::string_view cls;
  std::string_view table;
};

// In the order in which the classes are compared.
constexpr TableRow kTables[] = {
    {"TMetaData", "LibMetaData"},
    {"TCCFMeasure", "CCFMeasures"},
    {"TCCFMeasureOp", "CCFMeasureOps"},
    {"TCatCondition", "CatConditions"},
    {"TCatConditionOp", "CatConditionOps"},
    {"TDCMeasure", "DCMeasures"},
    {"TDCMeasureOp", "DCMeasureOps"},
    {"TElement", "Elements"},
    {"TElementOp", "ElementOps"},
    {"TBloc", "Blocs"},
    {"TBlocOp", "BlocOps"},
    {"TChannel", "Channels"},
    {"TTestChannel", "Channels"},
    {"TChannelOp", "ChannelOps"},
    {"TTestChannelOp", "ChannelOps"},
    {"TComponent", "Components"},
    {"TComponentOp", "ComponentOps"},
    {"TSF", "SFs"},
    {"TSFOp", "SFOps"},
    {"TPLCondition", "PLConditions"},
    {"TPLConditionOp", "PLConditionOps"},
    {"TProject", "Projects"},
    {"TProjectOp", "ProjectOps"},
};

// Moves a file or folder; across file systems by copying and then removing the source.
bool MovePath(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return true;
  if (ec != std::errc::cross_device_link) return false;
  fs::copy(from, to, fs::copy_options::recursive, ec);
  if (ec) {
    fs::remove_all(to, ec);
    return false;
  }
  fs::remove_all(from, ec);
  return !ec;
}

bool CopyPath(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::copy(from, to, fs::copy_options::recursive, ec);
  return !ec;
}

// "%" escapes of a path for the trash info file (RFC 2396: everything but unreserved characters and "/").
std::string UrlEncodePath(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string r;
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      r += static_cast<char>(c);
    } else {
      r += '%';
      r += hex[c >> 4];
      r += hex[c & 15];
    }
  }
  return r;
}

// Moves the file into the user's trash (freedesktop layout: Trash/files and Trash/info with a .trashinfo
// record), so that the deletion can be undone. False when that is not possible; the file is then left alone.
bool MoveToTrash(const std::string& file) {
  const std::string home = UserDataHome();
  if (home.empty()) return false;
  std::error_code ec;
  const fs::path source = fs::absolute(file, ec);
  if (ec || !PathExists(source.string(), false)) return false;
  const fs::path trash = fs::path(home) / "Trash";
  fs::create_directories(trash / "files", ec);
  fs::create_directories(trash / "info", ec);
  if (!FolderExists((trash / "files").string()) || !FolderExists((trash / "info").string())) return false;

  const std::string base = source.filename().string();
  char date[32];
  const std::time_t now = std::time(nullptr);
  std::tm tm {};
  localtime_r(&now, &tm);
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
  const std::string info = "[Trash Info]\nPath=" + UrlEncodePath(source.lexically_normal().string()) +
                           "\nDeletionDate=" + date + "\n";

  for (int n = 1; n < 10000; ++n) {
    const std::string name = n == 1 ? base : base + "." + std::to_string(n);
    const fs::path infoFile = trash / "info" / (name + ".trashinfo");
    // The info file is created exclusively first: it reserves the name against other programs.
    const int fd = ::open(infoFile.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    bool written = ::write(fd, info.data(), info.size()) == static_cast<ssize_t>(info.size());
    written = ::fsync(fd) == 0 && written;
    written = ::close(fd) == 0 && written;
    const fs::path target = trash / "files" / name;
    if (written && !PathExists(target.string(), false)) {
      fs::rename(source, target, ec);
      if (!ec) return true;
    }
    fs::remove(infoFile, ec);
    return false;
  }
  return false;
}

}  // namespace

// ---- File types ----

std::string ProjectProgID() { return "KELVADO.Project"; }
std::string LibraryProgID() { return "KELVADO.Library"; }
std::string ProjectFileDescription() { return "KELVADO project file"; }
std::string LibraryFileDescription() { return "KELVADO library file"; }

bool IsLibraryFile(const std::string& FileName) {
  return LowerAscii(ExtractFileExt(FileName)) == std::string(".") + LibraryFileExt;
}

bool IsProjectFile(const std::string& FileName) {
  return LowerAscii(ExtractFileExt(FileName)) == std::string(".") + ProjectFileExt;
}

// ---- Class-to-table map ----

std::string TableNameForClass(std::string_view ClassName) {
  for (const TableRow& row : kTables)
    if (row.cls == ClassName) return std::string(row.table);
  throw EInvalidValue(msgInvalidValue, {std::string(ClassName)});
}

std::string TableNameForClass(const TtiClass& Cls) { return TableNameForClass(std::string_view(Cls.Name())); }

std::string TableNameForObject(const TtiBaseObject& Obj) { return TableNameForClass(Obj.Class()); }

// ---- Stored infinity ----

void FloatToStrInf(double Value, std::string& S) {
  if (std::isnan(Value) || Value == std::numeric_limits<double>::infinity() || Value == StoredInfinity) {
    S = FloatToStr(StoredInfinity);
    return;
  }
  if (std::isinf(Value))
    throw EConvertError("The value -INF can not be stored: only +INF has a stored form");
  S = FloatToStr(Value);
}

std::string FloatToStrInf(double Value) {
  std::string s;
  FloatToStrInf(Value, s);
  return s;
}

double StrToFloatInf(std::string_view S) {
  if (S == FloatToStr(StoredInfinity)) return std::numeric_limits<double>::infinity();
  return StrToFloat(S);
}

double StrToFloatInf(std::string_view S, char DecimalSeparator) {
  if (DecimalSeparator == '.') return StrToFloatInf(S);
  std::string text(S);
  // The separator stands where "." would; a "." of its own makes the text no number of these settings.
  if (text.find('.') != std::string::npos)
    throw EConvertError("'" + text + "' is not a valid floating point value");
  for (char& c : text)
    if (c == DecimalSeparator) c = '.';
  try {
    return StrToFloatInf(text);
  } catch (const EConvertError&) {
    throw EConvertError("'" + std::string(S) + "' is not a valid floating point value");
  }
}

double StoredFloatToInf(double Value) {
  if (std::isnan(Value) || Value == StoredInfinity) return std::numeric_limits<double>::infinity();
  return Value;
}

// ---- Registration ----

std::string UserDataHome() {
  const char* env = std::getenv("XDG_DATA_HOME");
  if (env && env[0] == '/') return tiRemoveTrailingSlash(env);
  const std::string home = UserHomeFolder();
  return home.empty() ? std::string() : tiRemoveTrailingSlash(home) + "/.local/share";
}

std::string MimeTypeForProgID(const std::string& ProgID) {
  std::string sub = LowerAscii(ProgID);
  for (char& c : sub)
    if (c == '.') c = '-';
  return "application/x-" + sub;
}

std::string MimePackageFileName(const std::string& Ext) {
  const std::string home = UserDataHome();
  if (home.empty() || Ext.empty()) return {};
  return home + "/mime/packages/kelvado-" + FileExtWithoutDot(Ext) + ".xml";
}

std::string DesktopEntryFileName(const std::string& ProgID) {
  const std::string home = UserDataHome();
  if (home.empty() || ProgID.empty()) return {};
  std::string id = LowerAscii(ProgID);
  for (char& c : id)
    if (c == '.') c = '-';
  return home + "/applications/" + id + ".desktop";
}

bool IsFileTypeRegistered(std::string Ext, const std::string& ProgID) {
  if (Ext.empty()) return false;
  if (Ext[0] != '.') Ext.insert(0, ".");
  const std::string package = MimePackageFileName(Ext);
  if (!FileExists(package)) return false;
  std::string content;
  try {
    content = ReadRegularFile(package, int64_t(1) << 20);
  } catch (const EFileAccess&) {
    return true;  // there but unreadable: as the registry key that cannot be opened
  }
  return content.find("<mime-type type=\"" + XmlEscape(MimeTypeForProgID(ProgID)) + "\">") != std::string::npos &&
         content.find("<glob pattern=\"*." + XmlEscape(FileExtWithoutDot(Ext)) + "\"/>") != std::string::npos;
}

bool RegisterFileType(std::string Ext, const std::string& ProgID, const std::string& Description,
                      const std::string& ExeFile, const std::string& Argument, const std::string& IconFile,
                      int IconIndex) {
  (void)IconIndex;  // an icon inside the program file has no counterpart on the desktop
  if (Ext.size() <= 1 || ProgID.empty()) return false;
  if (Ext[0] != '.') Ext.insert(0, ".");
  if (!IsSafeName(std::string_view(Ext).substr(1)) || !IsSafeName(ProgID)) return false;
  const std::string package = MimePackageFileName(Ext);
  const std::string desktop = DesktopEntryFileName(ProgID);
  if (package.empty() || desktop.empty()) return false;
  const std::string mimeType = MimeTypeForProgID(ProgID);

  std::string exec;
  if (!QuoteExecArgument(ExeFile, exec)) return false;
  if (Argument == "%1") {
    exec += " %f";
  } else if (!Argument.empty()) {
    std::string arg;
    if (!QuoteExecArgument(Argument, arg)) return false;
    exec += " " + arg;
  }

  const std::string mimeXml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
      "  <mime-type type=\"" + XmlEscape(mimeType) + "\">\n"
      "    <comment>" + XmlEscape(Description) + "</comment>\n"
      "    <glob pattern=\"*." + XmlEscape(FileExtWithoutDot(Ext)) + "\"/>\n"
      "  </mime-type>\n"
      "</mime-info>\n";
  std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=" + DesktopValue(Description) + "\n"
      "Exec=" + DesktopValue(exec) + "\n";
  if (!IconFile.empty()) entry += "Icon=" + DesktopValue(IconFile) + "\n";
  entry += "MimeType=" + mimeType + ";\nTerminal=false\nNoDisplay=true\n";

  tiStringToNewFile(mimeXml, package);
  tiStringToNewFile(entry, desktop);

  // Desktops read the compiled MIME cache; refresh it when the tool is there. The registration itself does not
  // depend on it.
  const std::string mimeFolder = fs::path(package).parent_path().parent_path().string();
  RunProcessAndWait("update-mime-database", {mimeFolder}, "");
  return true;
}

void RegisterOwnFileType(const std::string& Ext, const std::string& ProgID, const std::string& Description,
                         const std::string& IconFile) {
  std::string cause;
  try {
    if (RegisterFileType(Ext, ProgID, Description, ProgramFilePath(), "%1", IconFile, -1)) return;
  } catch (const Exception& e) {
    cause = e.Message();
  }
  EKelvado failed(1013);
  if (!cause.empty()) failed.SetMessage(failed.Message() + "\n" + cause);
  throw failed;
}

// ---- File names and folders ----

std::string DefaultProjectFileName() { return std::string("Default.") + ProjectFileExt; }

void NextFreeProjectName(const std::string& Folder, std::string& Name) {
  const std::string folder = WithTrailingSlash(Folder);
  for (long long n = 1;; ++n) {
    Name = "Project" + std::to_string(n) + "." + ProjectFileExt;
    if (!PathExists(folder + Name, false)) return;
  }
}

std::string LibListFileName() { return ProgramFolder() + "LibList.txt"; }
std::string ProjectListFileName() { return ProgramFolder() + "ProjectList.txt"; }

void RescueFileName(const std::string& FileName, std::string& Name) {
  Name = FileName + ".rescue";
  for (long long n = 1; PathExists(Name, false); ++n) Name = FileName + ".rescue_" + std::to_string(n);
}

std::string RescueFileName(const std::string& FileName) {
  std::string name;
  RescueFileName(FileName, name);
  return name;
}

std::string LibraryFolder() { return GetDatabaseLibFolder(); }

void GetSpecialFolderPath(int CSIDL, std::string& Path) {
  Path.clear();
  auto xdg = [](const char* var, const char* fallback) -> std::string {
    const char* env = std::getenv(var);
    if (env && env[0] == '/') return tiRemoveTrailingSlash(env);
    const std::string home = UserHomeFolder();
    return home.empty() ? std::string() : tiRemoveTrailingSlash(home) + fallback;
  };
  switch (CSIDL) {
    case CSIDL_PERSONAL: Path = UserDocumentsFolder(); break;
    case CSIDL_APPDATA: Path = xdg("XDG_CONFIG_HOME", "/.config"); break;
    case CSIDL_LOCAL_APPDATA: Path = xdg("XDG_DATA_HOME", "/.local/share"); break;
    case CSIDL_PROFILE: Path = tiRemoveTrailingSlash(UserHomeFolder()); break;
    default: break;
  }
}

void ExpandEnvironment(const std::string& S, std::string& Result) {
  Result.clear();
  size_t i = 0;
  while (i < S.size()) {
    const size_t open = S.find('%', i);
    if (open == std::string::npos) break;
    const size_t close = S.find('%', open + 1);
    if (close == std::string::npos) break;
    Result.append(S, i, open - i);
    const std::string name = S.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value) {
      Result += value;
      i = close + 1;
    } else {
      // Not a variable: keep the "%" and look for one starting at the closing mark.
      Result += '%';
      i = open + 1;
      Result.append(S, i, close - i);
      i = close;
    }
  }
  Result.append(S, i, std::string::npos);
}

std::string ExpandEnvironment(const std::string& S) {
  std::string r;
  ExpandEnvironment(S, r);
  return r;
}

void SelectFolder(const std::string& Caption, const std::string& SubDir, const std::string& BaseDir,
                  std::string& Folder) {
  const std::string base = WithTrailingSlash(BaseDir);
  std::string sub = SubDir;
  bool subRelative = false;
  CheckRelativePath(sub, subRelative);
  std::string start = subRelative && !base.empty() ? base + sub : sub;
  if (!FolderExists(start) && !base.empty()) start = base;
  if (!FolderExists(start)) start = GetOptDefWorkDirFolder();

  TFolderBrowser browser(0, Caption, start, false, true);
  if (!browser.Execute()) return;
  const std::string chosen = browser.GetSelectedFolder();
  if (chosen.empty()) {
    Folder.clear();
  } else if (base.empty()) {
    Folder = chosen;
  } else if (chosen.compare(0, base.size(), base) == 0) {
    // Only a folder inside the base is stored relative to it: "../" means "below the base folder", so a
    // path that leaves the base cannot be expressed that way.
    std::string rel = fs::path(chosen).lexically_relative(fs::path(base)).generic_string();
    if (rel == ".") rel.clear();
    Folder = rel.compare(0, 3, "../") == 0 ? rel : "../" + rel;
  } else {
    Folder = chosen;
  }
}

// ---- Other ----

bool FileOperation(const std::vector<std::string>& Files, const std::string& Target, int Operation) {
  if (Files.empty()) return false;
  switch (Operation) {
    case foMove:
    case foCopy: {
      const bool intoFolder = FolderExists(Target);
      if (!intoFolder && Files.size() != 1) return false;
      for (const std::string& f : Files) {
        if (!PathExists(f, false)) return false;
        const fs::path to = intoFolder ? fs::path(Target) / fs::path(tiRemoveTrailingSlash(f)).filename()
                                       : fs::path(Target);
        if (PathExists(to.string(), false)) return false;
        if (!(Operation == foMove ? MovePath(f, to) : CopyPath(f, to))) return false;
      }
      return true;
    }
    case foDelete:
      for (const std::string& f : Files)
        if (!MoveToTrash(f)) return false;
      return true;
    case foRename:
      if (Files.size() != 1 || Target.empty() || !PathExists(Files[0], false)) return false;
      // Never over a file that appeared since the caller looked.
      try {
        PublishNewFile(Files[0], Target);
        return true;
      } catch (const EFileAccess&) {
        return false;
      }
    default:
      return false;
  }
}

bool RequiredDataFilesPresent() {
  bool present = true;
  for (const std::string& file : {GetLangLngFile(), GetLangLngDll(), GetDatabaseDatabaseNameGen(),
                                  GetDatabaseDatabaseNameLib()})
    if (!FileExists(file)) present = false;
  return present;
}

bool IsMSXML4Installed() { return true; }

}  // namespace kelvado
