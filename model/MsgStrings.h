#pragma once
// Numbered message texts. Every user-visible text of the model and the stores is text number Index + Base of
// the language library named by the configuration key `lngdll` (section `lang`).
#include <functional>
#include <string>

#include "framework/tiFormat.h"
#include "model/MsgIds.h"

namespace kelvado {

// Bases of the text groups.
inline constexpr int msgBaseGeneral = 0;   // captions, names, general texts
inline constexpr int msgBaseError = 1000;  // error texts carried by exceptions
inline constexpr int msgBaseStatus = 3000; // warnings and status-check messages
inline constexpr int msgBaseReport = 4000; // report labels
inline constexpr int msgBaseShell = 5000;  // further texts of the shell

// Text number Index + Base, with every line feed turned into CR LF; empty when the library or the text is
// missing. Never throws. The library is loaded on first use; a failed load is tried again on the next call.
std::string GetMsgString(int Index, int Base);
void GetMsgString(int Index, int Base, std::string& Text);

// The same text in the language of the run, also while TBuiltInTexts is in force: for messages to the user.
std::string GetRunMsgString(int Index, int Base);

// Text number `Number` (index + base) formatted printf-style with `Args`; a missing argument leaves its
// place empty.
std::string FormatMsgString(int Number, const FmtArgs& Args);

// The file the texts of this run come from, loading it when it is not loaded yet; empty when it cannot be
// loaded (then every text is empty). For a program that must not show empty texts.
std::string MsgStringsFile();

// While an object of this class lives, GetMsgString answers this thread with the German texts built into the
// program, whatever the language of the run and whatever the language files beside the program hold: for a
// text that must be the same in every run (the project checksum). Messages to the user (GetRunMsgString, the
// exceptions' texts) stay in the run's language.
class TBuiltInTexts {
public:
  TBuiltInTexts();
  ~TBuiltInTexts();
  TBuiltInTexts(const TBuiltInTexts&) = delete;
  TBuiltInTexts& operator=(const TBuiltInTexts&) = delete;

private:
  bool previous_;
};

// Releases the loaded language library; the next GetMsgString loads it again (shutdown, tests).
void ReleaseMsgStrings();

// A language file that is no text (random bytes, another encoding than UTF-8) is refused with a message (in
// English: no texts are there to say it otherwise) naming it; the other language's file beside it
// (Lang_DE.txt, Lang_EN.txt) is taken instead where it can be read, else the program's own file
// (LanguageFileInsteadOf).

// Runs `show` now, or, when it is asked while the language file is being looked up (a settings failure met on
// the way), as soon as the texts are loaded, so that what it shows is in the run's language.
void ShowWhenTextsAreReady(std::function<void()> show);

// Why a file could not be used, in the run's language, for the system's error number (ELOOP: "its name leads
// into a loop of symbolic links"); a number without words of its own gets the system's text with the number.
std::string SystemErrorText(int err);
// A failure's cause as the file layers give it (it holds the system's text of the error): in the run's
// language where it names a known error; any other cause unchanged.
std::string CauseText(const std::string& cause);

}  // namespace kelvado
