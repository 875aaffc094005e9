// Opens a project file through the project manager (by default the example project beside the program,
// example_press.kvd), evaluates it on the general database beside the program and prints the tree: MTTFd,
// DCavg, CCF, PFH, PL, PLr and the status of every node down to the elements, with the status messages.
//
//   kelvado_example [FILE.kvd]
//   kelvado_example --help
//
// Every text is taken from the language file of the run (setting lngdll; unset, the locale chooses), so one
// run speaks one language. Exit status: 0 evaluated, 1 the file or the program's data could not be read, 2 a
// wrong call (an unknown option or more than one file).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "framework/tiFirebird.h"
#include "model/BOM.h"
#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMElement.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/Exceptions.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"
#include "model/VisitorsCalc.h"
#include "platform/OutputCharset.h"
#include "platform/Registry.h"
#include "storage/db/PersistenceDB.h"
#include "storage/xml/PersistenceXML.h"

using namespace kelvado;

namespace {

// This program's own texts in the language files.
constexpr int txtUsage = 5900;            // settings folder, file of the lang section, language file
constexpr int txtUnknownOption = 5901;    // the option
constexpr int txtTooManyArguments = 5902;
constexpr int txtIsFolder = 5903;         // the name
constexpr int txtNotRegular = 5904;       // the name
constexpr int txtNoReadPermission = 5905; // the name
constexpr int txtDamaged = 5907;          // the name
constexpr int txtGeneralDB = 5908;        // the database file
constexpr int txtSeeHelp = 5909;
constexpr int txtCause = 5910;
constexpr int txtYears = 5920;
constexpr int txtNote = 5921;
constexpr int txtLowestCat = 5922;
constexpr int txtCCFMet = 5923;
constexpr int txtNoText = 5924;
constexpr int txtReportNotWritten = 5930;  // why
constexpr int txtOutOfMemory = 5931;
constexpr int txtDBDamaged = 5932;        // its digest file
constexpr int txtDBDigestMissing = 5933;  // its digest file
constexpr int txtNoRegularFile = 5934;
constexpr int txtPFHInterpolated = 5950;
constexpr int txtPFHBandValues = 5951;
constexpr int txtMTTFdCap = 5952;        // the cap
constexpr int txtMTTFdCapRaised = 5953;  // the cap, the cap of category 4
// Labels the report uses too.
constexpr int lblProject = 4066, lblSF = 4079, lblSubsystem = 4085, lblBloc = 4007, lblElement = 4027,
              lblMTTFd = 4055, lblDC = 4017, lblDCavg = 4020, lblPFH = 4061, lblPL = 4062, lblPLr = 4065,
              lblCategory = 4044, lblStatus = 4084, lblChecksum = 4011;
constexpr int txtFirstStatusName = 81;  // red, yellow, green

const char* const kProgram = "kelvado_example";

// A language text with the line ends of a terminal.
std::string Plain(std::string text) {
  for (size_t p; (p = text.find("\r\n")) != std::string::npos;) text.erase(p, 1);
  return text;
}
std::string T(int number) { return Plain(GetMsgString(number, msgBaseGeneral)); }
std::string F(int number, const FmtArgs& args) { return Plain(FormatMsgString(number, args)); }

// A failure that ends the run with `status`; its text is ready to show.
struct Failure {
  int status;
  std::string text;
};

std::string StatusName(TItemStatus s) { return T(txtFirstStatusName + s); }

// The model's value texts name a band by its built-in name ("100 (High)"); the run shows the language file's
// band name where it has one.
std::string BandInLanguage(const std::string& shown, bool dc) {
  if (dc) {
    for (int v = dcNone; v <= dcHigh; ++v)
      if (shown == DCDenotationToStr(static_cast<TDCDenotation>(v))) {
        const std::string t = Plain(GetMsgString(stsFirstDCBand + v, msgBaseStatus));
        return t.empty() ? shown : t;
      }
  } else {
    for (int v = mttfLow; v <= mttfHigh; ++v)
      if (shown == MTTFdDenotationToStr(static_cast<TMTTFdDenotation>(v))) {
        const std::string t = Plain(GetMsgString(stsFirstMTTFdBand + v, msgBaseStatus));
        return t.empty() ? shown : t;
      }
  }
  return shown;
}

// "value (band)" with the band in the run's language; any other text as it is.
std::string WithBand(const std::string& text, bool dc) {
  if (text.size() < 3 || text.back() != ')') return text;
  const size_t open = text.rfind(" (");
  if (open == std::string::npos) return text;
  return text.substr(0, open + 2) + BandInLanguage(text.substr(open + 2, text.size() - open - 3), dc) + ")";
}
std::string MTTFdText(const std::string& text) { return WithBand(text, false); }
std::string DCText(const std::string& text) { return WithBand(text, true); }

// A status message: red and yellow ones are verdicts and carry their status; a green one is a note.
void PrintMessages(std::ostream& out, TPerObjAbsEx& node, const std::string& indent) {
  TStatusMessages messages;
  node.CheckStatus(&messages, false);
  for (int i = 0; i < messages.Count(); ++i) {
    const TStatusMessage& m = messages.Item(i);
    std::string text = m.Text.empty() ? T(txtNoText) : Plain(m.Text);
    for (size_t p; (p = text.find('\n')) != std::string::npos;) text.replace(p, 1, " ");
    const std::string kind = m.Status == isGreen ? T(txtNote) : StatusName(m.Status);
    out << indent << "  - " << kind << ": " << text << "\n";
  }
}

// A figure the report shows. One that is "-" (no value, or no band) is remembered: the project then has no
// checksum.
bool figureMissing = false;
std::string Fig(std::string text) {
  if (text == "-" || text.starts_with("- ") || text.ends_with("(-)")) figureMissing = true;
  return text;
}

std::string Status(TPerObjAbsEx& node) { return T(lblStatus) + " " + StatusName(node.CheckStatus(nullptr, true)); }
std::string MTTFdLabel() { return T(lblMTTFd) + " [" + T(txtYears) + "] "; }

// The DC of a channel as its blocks show theirs: percentage and band, or the text of a value that does not
// count where the blocks' DCs do not count either (a test channel, a category without DC, a DCavg entered).
std::string ChannelDCText(TChannelOp& ch) {
  const TComponentOp* s = ch.GetComponentOp();
  const bool relevant = !s || !s->GetComponent() ||
                        (ch.IsUsedBySubsystem() && !ch.IsTestChannelNode() &&
                         s->GetComponent()->GetDCavgDet() == detSubItems && s->IsDCavgRelevant());
  if (!relevant && GetOptHideNonRelevant()) return T(txtNotRelevant);
  const double dc = ch.GetDCLazy();
  if (dc < 0.0 || dc > 1.0) return "- (-)";
  return FloatToStr(RoundToDigits(GetOptRoundDC(), dc * 100.0)) + " (" +
         BandInLanguage(DCDenotationToStr(GetDCDenotation(dc)), true) + ")";
}

void PrintChannels(std::ostream& out, TComponentOp& s) {
  TChannelOpList& channels = *s.GetChannelOpList();
  for (int c = 0; c < channels.GetCount(); ++c) {
    TChannelOp& ch = *channels.Items(c);
    if (ch.GetDeleted()) continue;
    out << "      " << ch.GetCaption() << "  " << MTTFdLabel()
              << Fig(ch.GetMTTFdString() + " (" + BandInLanguage(ch.GetMTTFdDenotationString(), false) + ")")
              << "  " << T(lblDC) << " [%] " << Fig(ChannelDCText(ch)) << "  " << Status(ch) << "\n";
    PrintMessages(out, ch, "      ");
    TBlocOpList& blocs = *ch.GetBlocOpList();
    for (int b = 0; b < blocs.GetCount(); ++b) {
      TBlocOp& bloc = *blocs.Items(b);
      if (bloc.GetDeleted()) continue;
      out << "        " << T(lblBloc) << " \"" << bloc.GetBlocName() << "\"  " << MTTFdLabel()
                << Fig(MTTFdText(bloc.GetMTTFdString())) << "  " << T(lblDC) << " [%] "
                << Fig(DCText(bloc.GetDCString()))
                << "  " << Status(bloc) << "\n";
      PrintMessages(out, bloc, "        ");
      TElementOpList& elements = *bloc.GetElementOpList();
      for (int e = 0; e < elements.GetCount(); ++e) {
        TElementOp& el = *elements.Items(e);
        if (el.GetDeleted()) continue;
        out << "          " << T(lblElement) << " \"" << el.GetElementName() << "\"  " << MTTFdLabel()
                  << Fig(MTTFdText(el.GetMTTFdString())) << "  " << T(lblDC) << " [%] "
                  << Fig(DCText(el.GetDCString()))
                  << "  " << Status(el) << "\n";
        PrintMessages(out, el, "          ");
      }
    }
  }
}

// A project whose figures are not all given has no checksum: "-", as for any value that cannot be given.
std::string Checksum(const TProjectOp& project) {
  if (figureMissing) return "-";
  try {
    return project.GetHashString();
  } catch (const EKelvado&) {
    return "-";
  }
}

// How this run found its PFH values and how far it counts an MTTFd: the table's cells and the interpolation
// between them can differ by a whole PL, so a figure is only read right with its method.
std::string Method() {
  const std::string pfh = T(GetOptUseDCInterLevels() ? txtPFHInterpolated : txtPFHBandValues);
  const double cap = MTTFdCap(cat3);
  const double cap4 = MTTFdCap(cat4);
  return pfh + "\n" +
         (cap4 == cap ? F(txtMTTFdCap, {FloatToStr(cap)}) : F(txtMTTFdCapRaised, {FloatToStr(cap), FloatToStr(cap4)}));
}

void PrintProject(std::ostream& report, TProjectOp& project) {
  // The tree first: the heading's checksum depends on its figures.
  std::ostringstream out;
  PrintMessages(out, project, "");
  TSFOpList& sfs = *project.GetSFOpList();
  for (int i = 0; i < sfs.GetCount(); ++i) {
    TSFOp& sf = *sfs.Items(i);
    if (sf.GetDeleted()) continue;
    out << "\n  " << T(lblSF) << " \"" << sf.GetSFName() << "\"\n"
              << "    " << T(lblPLr) << " " << Fig(sf.GetPLrString()) << "  " << T(lblPL) << " "
              << Fig(sf.GetPLString()) << "  " << T(lblPFH) << " [1/h] " << Fig(sf.GetPFHString()) << "  "
              << T(txtLowestCat) << " " << Fig(sf.GetCatString()) << "  " << Status(sf) << "\n";
    PrintMessages(out, sf, "    ");
    TComponentOpList& subs = *sf.GetComponentOpList();
    for (int j = 0; j < subs.GetCount(); ++j) {
      TComponentOp& s = *subs.Items(j);
      if (s.GetDeleted()) continue;
      out << "    " << T(lblSubsystem) << " \"" << s.GetComponentName() << "\"  " << T(lblCategory) << " "
                << Fig(s.GetCatString()) << "\n"
                << "      " << MTTFdLabel() << Fig(MTTFdText(s.GetMTTFdString())) << "  " << T(lblDCavg)
                << " [%] " << Fig(DCText(s.GetDCavgPCString())) << "  " << T(txtCCFMet) << " "
                << Fig(s.GetCCFString()) << "\n"
                << "      " << T(lblPFH) << " [1/h] " << Fig(s.GetPFHString()) << "  " << T(lblPL) << " "
                << Fig(s.GetPLString()) << "  " << Status(s) << "\n";
      PrintMessages(out, s, "      ");
      PrintChannels(out, s);
    }
  }
  report << T(lblProject) << " \"" << project.GetProjectName() << "\"  " << Status(project) << "  "
         << T(lblChecksum) << " " << Checksum(project) << "\n"
         << Method() << "\n"
         << out.str();
}

// The report is made whole before any of it is shown: a run that fails while making it shows no half tree.
void PrintReport(TProjectOp& project) {
  std::ostringstream report;
  PrintProject(report, project);
  std::cout << report.str();
}

std::string Usage() {
  const std::string root = RegistryRootFolder();
  std::string langFile = root;
  for (size_t p = 0, q; p <= ConfigBaseKey().size(); p = q + 1) {
    q = ConfigBaseKey().find('\\', p);
    if (q == std::string::npos) q = ConfigBaseKey().size();
    langFile += "/" + ConfigBaseKey().substr(p, q - p);
  }
  langFile += "/lang/" + std::string(RegistryValuesFileName);
  return F(txtUsage, {root, langFile, MsgStringsFile()});
}

// The file to open, refused with its own sentence when it is a folder, missing, not a regular file or not
// readable. The project manager reads it only after these checks.
void CheckProjectFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) throw Failure{1, F(msgProjectFileMissing, {path})};
    if (err == EACCES) throw Failure{1, F(txtNoReadPermission, {path})};
    throw Failure{1, F(msgFileCannotBeRead, {path, SystemErrorText(err)})};
  }
  if (S_ISDIR(st.st_mode)) throw Failure{1, F(txtIsFolder, {path})};
  if (!S_ISREG(st.st_mode)) throw Failure{1, F(txtNotRegular, {path})};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    if (err == EACCES || err == EPERM) throw Failure{1, F(txtNoReadPermission, {path})};
    throw Failure{1, F(msgFileCannotBeRead, {path, SystemErrorText(err)})};
  }
  ::close(fd);
}

// Why there are no texts, in English (there are none to say it otherwise), naming the setting at fault.
std::string NoTextsMessage() {
  const std::string file = GetLangLngDll();
  const std::string settings = "(settings in " + RegistryRootFolder() + ")";
  if (!RegReadString("lang", "lngdll", "", false).empty())
    return "the language texts \"" + file + "\" cannot be read (setting lngdll, section lang) " + settings + ".";
  if (const std::string folder = UnusedDataFolderSetting(); !folder.empty())
    return "the folder \"" + folder + "\" of the setting defAppDatadirfolder (section opt) " + settings +
           " does not hold the program's data, and the language texts \"" + file +
           "\" beside the program cannot be read either.";
  return "the language texts \"" + file + "\" beside the program cannot be read: the program is not installed "
         "completely.";
}

// Why the general database could not be opened: in the run's language for the common causes (the file is
// missing, may not be read or is damaged), else in the database layer's own (English) words.
std::string GeneralDBCause(const std::string& dbFile, const std::exception& e) {
  if (const auto* damaged = dynamic_cast<const EtiFBDamagedFile*>(&e))
    return F(damaged->DigestMissing() ? txtDBDigestMissing : txtDBDamaged, {damaged->DigestFile()});
  struct stat st {};
  if (::stat(dbFile.c_str(), &st) != 0) return SystemErrorText(errno);
  if (!S_ISREG(st.st_mode)) return T(txtNoRegularFile);
  const int fd = ::open(dbFile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return SystemErrorText(errno);
  ::close(fd);
  return Plain(e.what());
}

// A failure of the framework carries its own (English) detail; the user reads the run's sentence first.
Failure Wrapped(int number, const std::string& name, const std::exception& e) {
  // Running out of memory is no fault of the file.
  if (dynamic_cast<const std::bad_alloc*>(&e)) return Failure{1, T(txtOutOfMemory)};
  if (dynamic_cast<const EKelvado*>(&e)) return Failure{1, Plain(e.what())};
  return Failure{1, F(number, {name}) + "\n" + T(txtCause) + ": " + Plain(e.what())};
}

int Run(int argc, char** argv) {
  std::vector<std::string> files;
  bool help = false;
  std::string unknown;
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (!optionsEnd && a == "--") {
      optionsEnd = true;
    } else if (!optionsEnd && (a == "-h" || a == "--help")) {
      help = true;
    } else if (!optionsEnd && a.size() > 1 && a[0] == '-') {
      if (unknown.empty()) unknown = a;
    } else {
      files.push_back(a);
    }
  }
  // Without its texts the program could only print empty labels.
  if (MsgStringsFile().empty()) {
    std::cerr << kProgram << ": " << NoTextsMessage() << "\n";
    return 1;
  }
  if (!unknown.empty()) {
    std::cerr << kProgram << ": " << F(txtUnknownOption, {unknown}) << "\n\n" << Usage() << "\n";
    return 2;
  }
  if (help) {
    std::cout << Usage() << "\n";
    return 0;
  }
  if (files.size() > 1) {
    std::cerr << kProgram << ": " << T(txtTooManyArguments) << "\n" << T(txtSeeHelp) << "\n";
    return 2;
  }

  const std::filesystem::path dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  const std::string file = files.empty() ? (dir / "example_press.kvd").string() : files[0];
  CheckProjectFile(file);

  const std::string dbFile = (dir / "db" / "KELVADO_GEN_DE.FDB").string();
  try {
    auto db = std::make_unique<TPersistenceDB_FB>(dbFile);
    db->Connect();
    SetPersistenceDB(std::move(db));
  } catch (const std::exception& e) {
    throw Failure{1, F(txtGeneralDB, {dbFile}) + "\n" + T(txtCause) + ": " + GeneralDBCause(dbFile, e)};
  }
  TProjectManager manager;
  // A bare name is looked for where it was named, not in the project folder of the settings.
  const std::string path = file.find('/') == std::string::npos ? "./" + file : file;
  TProjectOp* project = nullptr;
  try {
    project = manager.OpenProjectFile(path, true);
  } catch (const std::exception& e) {
    throw Wrapped(txtDamaged, path, e);
  }
  if (!project) throw Failure{1, F(msgProjectFileMissing, {path})};
  PrintReport(*project);
  std::cout.flush();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Texts and names are UTF-8 inside; the terminal gets them in the character set of the user's locale.
  const OutputCharsetScope out(std::cout, STDOUT_FILENO), err(std::cerr, STDERR_FILENO);
  int status = 0;
  try {
    status = Run(argc, argv);
  } catch (const Failure& f) {
    std::cerr << kProgram << ": " << f.text << "\n";
    status = f.status;
  } catch (const std::bad_alloc&) {
    std::cerr << kProgram << ": " << T(txtOutOfMemory) << "\n";
    status = 1;
  } catch (const std::exception& e) {
    std::cerr << kProgram << ": " << Plain(e.what()) << "\n";
    status = 1;
  }
  // The report is what the run is for: one that could not be written (a full disk, a closed output) is a
  // failure, never a success.
  std::cout.flush();
  if (status == 0 && (out.Error() != 0 || !std::cout)) {
    std::cerr << kProgram << ": " << F(txtReportNotWritten, {SystemErrorText(out.Error() ? out.Error() : EIO)})
              << "\n";
    status = 1;
  }
  // The defaults of the settings this run found missing are written now that the report is out: writing them
  // flushes files to disk, which must not hold up the report. A failure is said once and changes no figure.
  WriteMissingDefaults();
  XMLMapperShutdown();
  CalcPoolShutdown();
  PersistenceDBShutdown();
  return status;
}
