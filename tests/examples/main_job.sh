#!/usr/bin/env bash
# The main job run as a user runs it: the built program on the example project in a German and an English
# locale, with --help, with an unknown option, and on a folder, a missing, an unreadable and damaged files.
#   main_job.sh PROGRAM SCRATCH_FOLDER
set -uo pipefail
prog=$1
scratch=$2
example=$(dirname "$prog")/example_press.kvd
rm -rf "$scratch"
mkdir -p "$scratch"
chmod 755 "$scratch"
failures=0
# Under the sanitizers (KELVADO_SANITIZE builds), the leak checker is told what the test programs tell it
# (tests/support/TestEnvironment.cpp): the Firebird client's process-wide state is no leak of ours.
printf 'leak:%s\n' libfbclient libEngine12 libib_util libicuuc libfbintl _dl_map_object_deps >"$scratch/lsan.supp"
export LSAN_OPTIONS="use_tls=0:print_suppressions=0:suppressions=$scratch/lsan.supp"
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Runs the program with a settings folder of its own (so the language follows the locale; it holds the lines
# of $opt_settings in section opt) and the given locale; leaves out, err and status. Set for one call: program
# (another copy), config (a settings folder of the test's choice), out_to (the output) before the call, as
# "program=... run"; run_env (more of env's arguments: -u NAME first, then NAME=VALUE) on the line before.
opt_settings=
run() {
  local lang=$1
  shift
  local config=${config:-$scratch/config-$RANDOM$RANDOM}
  if [ -n "$opt_settings" ]; then
    mkdir -p "$config/Software/Zul/KELVADO/1.1.2/opt"
    printf '%s\n' "$opt_settings" >>"$config/Software/Zul/KELVADO/1.1.2/opt/values.reg"
  fi
  status=0
  env -u LC_ALL -u LC_MESSAGES -u LANGUAGE ${run_env[@]+"${run_env[@]}"} LANG="$lang" KELVADO_CONFIG_DIR="$config" \
    timeout 120 "${program:-$prog}" "$@" >"${out_to:-$scratch/out}" 2>"$scratch/err" || status=$?
  out=$(cat "$scratch/out" 2>/dev/null)
  err=$(cat "$scratch/err")
  unset program config run_env out_to
}
# A copy of the program with its data in the folder $1.
copy_program() {
  local bin
  bin=$(dirname "$prog")
  mkdir -p "$1"
  cp -r "$prog" "$bin/Language" "$bin/db" "$bin/kvd.xsd" "$example" "$1/"
}
# Writes the setting $3 of section $2 (text $4) into the settings folder $1.
set_setting() {
  mkdir -p "$1/Software/Zul/KELVADO/1.1.2/$2"
  printf '"%s"="%s"\n' "$3" "$4" >>"$1/Software/Zul/KELVADO/1.1.2/$2/values.reg"
}
expect_status() { [ "$status" = "$1" ] || fail "$2: exit status $status, expected $1 (stderr: $err)"; }
expect_in() { grep -qF -- "$2" <<<"$1" || fail "$3: \"$2\" missing in: $1"; }
expect_not_in() { ! grep -qF -- "$2" <<<"$1" || fail "$3: \"$2\" found in: $1"; }

# Words of the program's own texts that only one of the two languages has; names inside quotes (the project's
# own data) are left out of the check.
german=("Projekt " "Sicherheitsfunktion" "Kanal" "Testkanal" "Kategorie" "Jahre" "Rot" "Grün" "Hinweis"
        "nicht relevant" "Ja (" "erfüllt" "niedrig" "mittel" "hoch" "Prüfsumme" "Der erforderliche PL")
english=("Project " "Safety function" "Channel" "Test channel" "Category" "years" "Red" "Green" "Note"
         "not relevant" "Yes (" "met (" "(Low)" "(Medium)" "(High)" "Checksum" "The required PL")

run de_DE.UTF-8
expect_status 0 "German run of the example"
expect_in "$out" "PLr d  PL c  PFH [1/h] 1.23E-6" "German: first safety function"
expect_in "$out" "PLr b  PL b  PFH [1/h] 7.74E-6" "German: second safety function"
[ -z "$err" ] || fail "German run wrote to stderr: $err"
text=$(sed 's/"[^"]*"//g' <<<"$out")
for w in "${german[@]}"; do expect_in "$text" "$w" "German run"; done
for w in "${english[@]}"; do expect_not_in "$text" "$w" "German run"; done

run en_US.UTF-8
expect_status 0 "English run of the example"
expect_in "$out" "PLr d  PL c  PFH [1/h] 1.23E-6" "English: first safety function"
expect_in "$out" "PLr b  PL b  PFH [1/h] 7.74E-6" "English: second safety function"
[ -z "$err" ] || fail "English run wrote to stderr: $err"
text=$(sed 's/"[^"]*"//g' <<<"$out")
for w in "${english[@]}"; do expect_in "$text" "$w" "English run"; done
for w in "${german[@]}"; do expect_not_in "$text" "$w" "English run"; done
# Channels show their DC with its band, or that it does not count, as their blocks do.
expect_in "$out" 'Channel 1  MTTFd [years] 200 (High)  DC [%] 90 (Medium)' "English: channel DC with band"
expect_in "$out" 'Test channel  MTTFd [years] 20 (Medium)  DC [%] not relevant' "English: test channel DC"
# A green message is a note, not a verdict.
expect_in "$out" '- Note: The MTTFd of the channel (200) is limited to 100' "English: note"
expect_not_in "$out" '- Green:' "English: green verdict"

# A safety PLC entered by its maker's PFH needs no channels: its PL follows the PFH, green.
expect_in "$out" 'Subsystem "Safety PLC"  Category 4' "PLC by its maker's PFH"
expect_in "$out" 'PFH [1/h] 2.5E-9  PL e  Status Green' "PLC by its maker's PFH"

# The heading says how the PFH values were found and how far an MTTFd counts; the table's cells give the door
# switches (category 3, DCavg 78 %, 100 years) the table's PL d, the interpolation PL e.
expect_in "$(sed -n 2,3p <<<"$out")" "PFH values interpolated: linearly between the DCavg levels" "method (English)"
expect_in "$(sed -n 2,3p <<<"$out")" "MTTFd counted up to 100 years in every category" "caps (English)"
expect_in "$out" "PFH [1/h] 6.61E-8  PL e" "interpolated PFH of the door switches"
opt_settings='"usedcinterlevels"=dword:0'
run en_US.UTF-8
expect_in "$(sed -n 2,3p <<<"$out")" "PFH values from the cells of Table K.1" "band values named"
expect_in "$out" "PFH [1/h] 1.01E-7  PL d" "band value of the door switches"
opt_settings='"cutmttfdraise"=dword:1'
run de_DE.UTF-8
expect_in "$(sed -n 2,3p <<<"$out")" "PFH-Werte interpoliert" "method (German)"
expect_in "$(sed -n 2,3p <<<"$out")" "in Kategorie 4 bis 2500 Jahre" "raised cap (German)"
opt_settings=

# A hand-edited subsystem with fewer channels than its category needs: the tree is printed whole, with "-"
# where a value cannot be computed and a red message naming the subsystem and the cause.
sed 's/cat="cat1"/cat="cat3"/' "$example" >"$scratch/fewer.kvd"
for lang in en_US.UTF-8 de_DE.UTF-8; do
  run "$lang" "$scratch/fewer.kvd"
  expect_status 0 "too few channels ($lang)"
  expect_in "$(head -n 1 <<<"$out")" "$([ "$lang" = en_US.UTF-8 ] && echo Checksum || echo Prüfsumme) -" \
    "too few channels: no checksum ($lang)"
  expect_in "$out" '"Pressure switch B1"' "too few channels: the tree printed whole ($lang)"
  [ -z "$err" ] || fail "too few channels ($lang) wrote to stderr: $err"
done
expect_in "$out" '- Rot: Das Subsystem "Main contactor" hat 1 Funktionskanäle' "too few channels: the cause"

# A project has one checksum in every language: the one German runs gave this file before (pinned).
fixed=$(dirname "$0")/press_checksum.kvd
for lang in de_DE.UTF-8 en_US.UTF-8; do
  run "$lang" "$fixed"
  expect_status 0 "checksum run ($lang)"
  expect_in "$(head -n 1 <<<"$out")" " 4b3c1f4e4e57507febad9c3c3fe6170f" "checksum ($lang)"
done

# The checksum is there exactly when every figure of the report is. A maker's part with its PFH, MTTFd and DCavg
# entered and no channels shows every figure, so the project has one; a PFH beyond PL a leaves a safety
# function without PL, and the project without checksum.
sed -e 's/mttfd="10" mttfddet="detSubItems" name="Safety PLC"/mttfd="100" mttfddet="detDirect" name="Safety PLC"/' \
  -e 's/dcavg="0" dcavgdet="detSubItems"\([^>]*"Maker of the PLC"\)/dcavg="0.99" dcavgdet="detDirect"\1/' \
  -e 's/\(name="Safety PLC"[^>]*\)catconditionsrelevant="0"/\1catconditionsrelevant="1"/' "$example" >"$scratch/maker.kvd"
run en_US.UTF-8 "$scratch/maker.kvd"
expect_status 0 "a maker's part with its values entered"
expect_in "$out" 'MTTFd [years] 100 (High)  DCavg [%] 99 (High)  CCF met (points) No (0)' "a maker's part: its values"
grep -q '^Project "Example press"  Status Red  Checksum [0-9a-f]\{32\}$' <<<"$out" ||
  fail "a maker's part with its values entered: no checksum: $(head -n 1 <<<"$out")"
sed 's/pfh="2.5E-9"/pfh="5E-4"/' "$example" >"$scratch/nopl.kvd"
run en_US.UTF-8 "$scratch/nopl.kvd"
expect_status 0 "a safety function without PL"
expect_in "$out" "PLr d  PL -  PFH [1/h] 0.000501" "a safety function without PL"
expect_in "$(head -n 1 <<<"$out")" "Checksum -" "a safety function without PL: no checksum"

# The example's CCF measures are the standard's, with the catalogue's scores (no score typed in by hand).
catalogue=$(dirname "$0")/../../resources/db/KELVADO_GEN_catalogues.sql
measures=$(grep -o '<table table_name="ccfmeasures">.*</table><table table_name="ccfmeasureops">' "$example" |
           grep -o '<row [^>]*>')
[ -n "$measures" ] || fail "the example has no CCF measures"
while IFS= read -r row; do
  number=$(sed -n 's/.* number="\([^"]*\)".*/\1/p' <<<"$row")
  score=$(sed -n 's/.* score="\([^"]*\)".*/\1/p' <<<"$row")
  grep -q "'${number//./\\.}', '[0-9A-F-]*', ${score}\.0e0);" "$catalogue" ||
    fail "the example's CCF measure \"$number\" of $score points is not the catalogue's"
done <<<"$measures"

run en_US.UTF-8 --help
expect_status 0 "--help"
for w in "Usage: kelvado_example [FILE.kvd]" "--help" "Exit status" "  2  wrong use" "lngdll" "Settings: in the folder" \
  "in the Language folder beside the program)" "Texts of this run: "
do expect_in "$out" "$w" "--help"; done
[ -z "$err" ] || fail "--help wrote to stderr: $err"

run de_DE.UTF-8 -h
expect_status 0 "-h"
expect_in "$out" "Aufruf: kelvado_example [DATEI.kvd]" "-h (German)"
expect_in "$out" "im Ordner Language des Programms" "-h (German)"
expect_in "$out" "Texte dieses Laufs: " "-h (German)"

run en_US.UTF-8 --bogus
expect_status 2 "an unknown option"
expect_in "$err" 'Unknown option "--bogus".' "an unknown option"
expect_in "$err" "Usage: kelvado_example [FILE.kvd]" "an unknown option shows the help"
[ -z "$out" ] || fail "an unknown option printed: $out"

run en_US.UTF-8 "$example" "$example"
expect_status 2 "two files"
expect_in "$err" "Too many arguments" "two files"

run en_US.UTF-8 "$scratch"
expect_status 1 "a folder"
expect_in "$err" "\"$scratch\" is a folder, not a project file." "a folder"

run de_DE.UTF-8 "$scratch/none.kvd"
expect_status 1 "a missing file"
expect_in "$err" "Die Datei \"$scratch/none.kvd\" existiert nicht." "a missing file"

# A named pipe is never opened: reading it would wait for a writer.
mkfifo "$scratch/pipe.kvd"
run en_US.UTF-8 "$scratch/pipe.kvd"
expect_status 1 "a named pipe"
expect_in "$err" "\"$scratch/pipe.kvd\" is not a regular file and is not opened." "a named pipe"

# The program's own rescue copy is refused saying what it is and how to open it; copied so, it opens.
cp "$example" "$scratch/press.kvd.rescue_2"
run de_DE.UTF-8 "$scratch/press.kvd.rescue_2"
expect_status 1 "a rescue copy"
expect_in "$err" "\"$scratch/press.kvd.rescue_2\" ist eine Rettungskopie eines Projekts" "a rescue copy"
expect_in "$err" "kopieren Sie sie unter einen Namen, der auf .kvd endet, etwa \"$scratch/press.rescue_2.kvd\"." \
  "a rescue copy"
cp "$scratch/press.kvd.rescue_2" "$scratch/press.rescue_2.kvd"
run de_DE.UTF-8 "$scratch/press.rescue_2.kvd"
expect_status 0 "a rescue copy copied to a project file's name"

# Damaged files: cut short, a number column left empty, a table of the tree missing.
head -c 3000 "$example" >"$scratch/cut.kvd"
run en_US.UTF-8 "$scratch/cut.kvd"
expect_status 1 "a file cut short"
expect_in "$err" "The project file \"$scratch/cut.kvd\" is invalid:" "a file cut short"

sed '0,/missiontime="[^"]*"/s//missiontime=""/' "$example" >"$scratch/number.kvd"
run de_DE.UTF-8 "$scratch/number.kvd"
expect_status 1 "an empty number"
expect_in "$err" "Datei \"$scratch/number.kvd\", Tabelle \"Components\"" "an empty number"
expect_in "$err" "Spalte \"MissionTime\": \"\" ist kein gültiger Wert." "an empty number"
expect_not_in "$err" "floating point" "an empty number"

sed 's|<table table_name="elementops">.*</table><table table_name="dcmeasureinsuffpls">|<table table_name="dcmeasureinsuffpls">|' \
  "$example" >"$scratch/table.kvd"
run en_US.UTF-8 "$scratch/table.kvd"
expect_status 1 "a missing table"
expect_in "$err" "The file \"$scratch/table.kvd\" lacks the table \"ElementOps\"" "a missing table"
expect_not_in "$err" "Can not find table" "a missing table"

# One language per run, the place of a fault included; the parser's faults in our words, without its codes.
sed '0,/ dc="0.9"/s// dc="1.5"/' "$example" >"$scratch/dc.kvd"
sed 's|</fields>|</fieldz>|' "$example" >"$scratch/tag.kvd"
sed '0,/Example press/s//Example \x01press/' "$example" >"$scratch/char.kvd"
for lang in de_DE.UTF-8 en_US.UTF-8; do
  for f in dc cut tag char; do
    run "$lang" "$scratch/$f.kvd"
    expect_status 1 "$f ($lang)"
    expect_not_in "$err" "error code" "$f ($lang)"
    expect_not_in "$err" "Fehlercode" "$f ($lang)"
  done
done
run de_DE.UTF-8 "$scratch/dc.kvd"
expect_in "$err" "Datei \"$scratch/dc.kvd\", Tabelle \"Elements\", Zeile " "place in German"
expect_in "$err" ", Spalte \"DC\": Der DC 1.5 liegt" "place in German"
run en_US.UTF-8 "$scratch/dc.kvd"
expect_in "$err" "File \"$scratch/dc.kvd\", table \"Elements\", row " "place in English"
run de_DE.UTF-8 "$scratch/cut.kvd"
expect_in "$err" "ist ungültig: sie endet mitten im Dokument (Zeile 2, Position " "a file cut short (German)"
run en_US.UTF-8 "$scratch/tag.kvd"
expect_in "$err" "the end tag \"fieldz\" does not close the open element \"fields\" (line 2, position " \
  "tags that do not match"
run de_DE.UTF-8 "$scratch/char.kvd"
expect_in "$err" "enthält ein Zeichen, das dort nicht stehen darf" "an invalid character (German)"

# The common faults of the parser, the schema check and the general database are said in the run's language
# too: a file that is no XML, an element or attribute the schema does not allow there, a general database that
# is missing or damaged.
printf 'no markup\n' >"$scratch/text.kvd"
sed 's|<fields>|<foo/><fields>|' "$example" >"$scratch/element.kvd"
sed '0,/ dc="0.9"/s// dc="0.9" bogus="1"/' "$example" >"$scratch/attribute.kvd"
copy_program "$scratch/nodb"
rm "$scratch/nodb/db/KELVADO_GEN_DE.FDB"
copy_program "$scratch/baddb"
chmod u+w "$scratch/baddb/db/KELVADO_GEN_DE.FDB"
printf 'X' | dd of="$scratch/baddb/db/KELVADO_GEN_DE.FDB" bs=1 seek=5000 conv=notrunc 2>/dev/null
for c in "text|Die Projektdatei \"$scratch/text.kvd\" ist ungültig: sie ist kein XML-Dokument (Zeile 1, Position 1)." \
  "element|das Element \"foo\" darf dort nicht stehen (Zeile 2, Position " \
  "attribute|das Element \"row\" darf das Attribut \"bogus\" nicht haben (Zeile 2, Position " \
  "nodb|Ursache: sie existiert nicht" "baddb|Ursache: ihr Inhalt weicht von der beim Erstellen aufgezeichneten"; do
  f=${c%%|*}
  if [ -d "$scratch/$f" ]; then
    program=$scratch/$f/kelvado_example run de_DE.UTF-8
  else
    run de_DE.UTF-8 "$scratch/$f.kvd"
  fi
  expect_status 1 "$f (German)"
  expect_in "$err" "${c#*|}" "$f (German)"
  for w in "expected" "allowed" "Cannot" "damaged" "Element '"; do expect_not_in "$err" "$w" "$f (German)"; done
done

# scripts/main.sh takes a file relative to the folder it was run from. It runs here from a copy beside a
# stand-in build (the built program, a cmake and a package check that do nothing), so that it builds nothing.
fake=$scratch/checkout
mkdir -p "$fake/scripts" "$fake/build/bin" "$fake/stubs" "$scratch/work/sub"
cp "$(dirname "$0")/../../scripts/main.sh" "$(dirname "$0")/../../scripts/progress.sh" "$fake/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$fake/scripts/deps.sh"
printf '#!/bin/sh\nexit 0\n' >"$fake/stubs/cmake"
chmod +x "$fake/stubs/cmake"
ln -s "$(cd "$(dirname "$prog")" && pwd)/$(basename "$prog")" "$fake/build/bin/kelvado_example"
cp "$example" "$scratch/work/sub/mine.kvd"
status=0
(cd "$scratch/work" && env -u LC_ALL -u LC_MESSAGES LANG=en_US.UTF-8 KELVADO_CONFIG_DIR="$scratch/config-main" \
   PATH="$fake/stubs:$PATH" timeout 120 bash "$fake/scripts/main.sh" sub/mine.kvd) >"$scratch/out" 2>"$scratch/err" ||
  status=$?
out=$(cat "$scratch/out")
err=$(cat "$scratch/err")
expect_status 0 "scripts/main.sh with a file relative to the caller's folder"
expect_in "$out" 'Project "Example press"' "scripts/main.sh with a file relative to the caller's folder"

# What a user meets who is not root (root reads and writes every file): as root the program runs as nobody,
# from a copy in a folder of /tmp that nobody can reach (the build tree may lie below a folder closed to others).
if [ "$(id -u)" = 0 ]; then
  alone=$(mktemp -d /tmp/kv_main_job.XXXXXX)
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
else
  alone=$scratch/alone
  as_user=()
fi
copy_program "$alone"
chmod -R a+rX "$alone"
mkdir -m 777 "$alone/home"
# Runs the copy as that user: LANG, settings folder, arguments.
run_user() {
  local lang=$1 config=$2
  shift 2
  status=0
  env -u LC_ALL -u LC_MESSAGES -u LANGUAGE -u FIREBIRD -u FIREBIRD_LOCK LANG="$lang" KELVADO_CONFIG_DIR="$config" \
    TMPDIR="$alone/home" HOME="$alone/home" timeout 120 ${as_user[@]+"${as_user[@]}"} "$alone/kelvado_example" "$@" \
    >"$scratch/out" 2>"$scratch/err" || status=$?
  out=$(cat "$scratch/out")
  err=$(cat "$scratch/err")
}

# A file the user may not read, and one in a folder the user may not enter.
secret=$alone/secret.kvd
cp "$example" "$secret"
chmod 000 "$secret"
run_user en_US.UTF-8 "$alone/home/config" "$secret"
expect_status 1 "an unreadable file"
expect_in "$err" "The file \"$secret\" may not be read: read permission is missing." "an unreadable file"
mkdir "$alone/closed"
cp "$example" "$alone/closed/inside.kvd"
chmod 700 "$alone/closed"
[ "$(id -u)" = 0 ] || chmod 000 "$alone/closed"
run_user en_US.UTF-8 "$alone/home/config" "$alone/closed/inside.kvd"
expect_status 1 "a file in a closed folder"
expect_in "$err" "The file \"$alone/closed/inside.kvd\" may not be read: read permission is missing." \
  "a file in a closed folder"

# A settings folder the user may not write: said once, after the report, in the run's language, without the
# names of classes; the run goes on with the defaults.
mkdir -m 555 "$alone/locked"
run_user de_DE.UTF-8 "$alone/locked/config"
expect_status 0 "settings that cannot be written"
expect_in "$out" "PLr d  PL c  PFH [1/h] 1.23E-6" "settings that cannot be written"
expect_in "$err" "Die fehlenden Einstellungen konnten nicht mit ihren Vorgabewerten in \"$alone/locked/config\" eingetragen werden: die Berechtigung fehlt." \
  "settings that cannot be written"
for w in Exception "Permission denied" "Error"; do expect_not_in "$err" "$w" "settings that cannot be written"; done
[ "$(grep -c "Vorgabewerten" <<<"$err")" = 1 ] || fail "settings that cannot be written: said more than once: $err"

# Settings the user may read but not write (the file read-only; all their folders read-only), holding the
# table's cells and lacking every other key: obeyed as read, named in the heading, and the file stays as it was;
# that the missing defaults could not be added is said once.
for kind in file folders; do
  config=$alone/home/read-only-$kind
  values=$config/Software/Zul/KELVADO/1.1.2/opt/values.reg
  mkdir -p "$(dirname "$values")"
  printf '"usedcinterlevels"=dword:0\n' >"$values"
  [ "$(id -u)" != 0 ] || chown -R nobody:nogroup "$config"
  if [ "$kind" = file ]; then chmod 444 "$values"; else find "$config" -type d -exec chmod 555 {} +; fi
  run_user de_DE.UTF-8 "$config"
  expect_status 0 "read-only settings ($kind)"
  expect_in "$(sed -n 2,3p <<<"$out")" "PFH-Werte aus den Zellen der Tabelle K.1" "read-only settings ($kind): heading"
  expect_in "$out" "PFH [1/h] 1.01E-7  PL d" "read-only settings ($kind): the door switches' cell"
  reason=$([ "$kind" = file ] && echo "sie ist schreibgeschützt" || echo "die Berechtigung fehlt")
  expect_in "$err" "Vorgabewerten in \"$config" "read-only settings ($kind)"
  expect_in "$err" "eingetragen werden: $reason. Die gelesenen Einstellungen gelten" "read-only settings ($kind)"
  [ "$(grep -c "Vorgabewerten" <<<"$err")" = 1 ] && [ "$(grep -c . <<<"$err")" = 2 ] ||
    fail "read-only settings ($kind): more than that one message: $err"
  [ "$(cat "$values")" = '"usedcinterlevels"=dword:0' ] || fail "read-only settings ($kind): the file changed"
done
chmod -R u+rwX "$alone"
rm -rf "$alone"

# Started with its outputs closed (as a service may be): the report cannot be written, a failure; and nothing
# meant for the outputs lands in a file the program opened (as root, the general database would take it).
copy_program "$scratch/closed"
gen=$scratch/closed/db/KELVADO_GEN_DE.FDB
before=$(sha256sum <"$gen")
status=0
env -u LC_ALL -u LC_MESSAGES LANG=en_US.UTF-8 KELVADO_CONFIG_DIR="$scratch/config-closed" timeout 120 \
  "$scratch/closed/kelvado_example" >&- 2>&- || status=$?
expect_status 1 "closed outputs"
[ "$(sha256sum <"$gen")" = "$before" ] || fail "closed outputs: the general database was written"
program=$scratch/closed/kelvado_example run en_US.UTF-8
expect_status 0 "the general database after closed outputs"

# A report that cannot be written (a full disk) is a failure with a message.
out_to=/dev/full run en_US.UTF-8
expect_status 1 "a full disk"
expect_in "$err" "The report could not be written: the disk is full." "a full disk"
out_to=/dev/full run de_DE.UTF-8 --help
expect_status 1 "a full disk (--help)"
expect_in "$err" "Der Bericht konnte nicht geschrieben werden: der Datenträger ist voll." "a full disk (--help)"

# The temporary folder in any spelling that names a folder: with a slash at the end, through a link, with ".",
# ".." or "//".
mkdir -p "$scratch/tmp/real/sub"
ln -s real "$scratch/tmp/link"
for t in "$scratch/tmp/real/" "$scratch/tmp/link" "$scratch/tmp/real/./" "$scratch/tmp/real/sub/.." \
  "$scratch/tmp//real"; do
  run_env=(-u FIREBIRD -u FIREBIRD_LOCK "TMPDIR=$t")
  run en_US.UTF-8
  expect_status 0 "TMPDIR=$t"
  expect_in "$out" "PLr d  PL c  PFH [1/h] 1.23E-6" "TMPDIR=$t"
done
# One that cannot be used is named as the cause.
run_env=(-u FIREBIRD -u FIREBIRD_LOCK "TMPDIR=$scratch/tmp/none")
run en_US.UTF-8
expect_status 1 "a missing TMPDIR"
expect_in "$err" "The temporary folder \"$scratch/tmp/none\" (TMPDIR) cannot be used" "a missing TMPDIR"
# So is one on a file system that runs no program code (the engine loads its character sets from there).
mkdir -p "$scratch/tmp/noexec"
status=0
env -u LC_ALL -u LC_MESSAGES -u FIREBIRD -u FIREBIRD_LOCK LANG=en_US.UTF-8 KELVADO_CONFIG_DIR="$scratch/config-nx" \
  TMPDIR="$scratch/tmp/noexec" unshare -m sh -c 'mount -t tmpfs -o noexec,size=16m tmpfs "$1" || exit 77; shift; exec "$@"' \
  sh "$scratch/tmp/noexec" "$prog" >"$scratch/out" 2>"$scratch/err" || status=$?
err=$(cat "$scratch/err")
if [ "$status" = 77 ] || grep -q "unshare" <<<"$err"; then
  if [ "${CI:-}" = true ]; then fail "no file system can be mounted here for the noexec TMPDIR check"; fi
  echo "skipped: no file system can be mounted here for the noexec TMPDIR check"
else
  expect_status 1 "a noexec TMPDIR"
  expect_in "$err" "The cause is the temporary folder \"$scratch/tmp/noexec\" (TMPDIR)" "a noexec TMPDIR"
fi

# Interrupted (SIGINT, SIGTERM) at any point of its start, the attachment of the general database included, the
# run ends at once with the signal's status and says nothing. Its output is a pipe left full, so that it cannot
# end by itself before the signal comes; the points spread over the time an ordinary run takes.
python3 - "$prog" "$scratch/config-signals" <<'PY' || fail "signals during the start"
import fcntl, os, signal, subprocess, sys, time
prog, config = sys.argv[1], sys.argv[2]
for s in (signal.SIGINT, signal.SIGTERM):
    signal.signal(s, signal.SIG_DFL)  # as from a terminal, also when this script was started with them ignored
env = {k: v for k, v in os.environ.items() if k not in ("LC_ALL", "LC_MESSAGES", "LANGUAGE")}
env.update(LANG="en_US.UTF-8", KELVADO_CONFIG_DIR=config)

def full_pipe():
    r, w = os.pipe()
    fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ: one page
    flags = fcntl.fcntl(w, fcntl.F_GETFL)
    fcntl.fcntl(w, fcntl.F_SETFL, flags | os.O_NONBLOCK)
    for size in (4096, 1):
        try:
            while True:
                os.write(w, b"x" * size)
        except BlockingIOError:
            pass
    fcntl.fcntl(w, fcntl.F_SETFL, flags)
    return r, w

start = time.monotonic()
subprocess.run([prog], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
whole = time.monotonic() - start
failures = 0
points = 20
for i in range(points + 1):
    for sig in (signal.SIGINT, signal.SIGTERM):
        r, w = full_pipe()
        p = subprocess.Popen([prog], env=env, stdout=w, stderr=subprocess.PIPE)
        os.close(w)
        time.sleep(whole * i / points)
        p.send_signal(sig)
        try:
            err = p.communicate(timeout=10)[1].decode(errors="replace")
        except subprocess.TimeoutExpired:
            p.kill()
            err = p.communicate()[1].decode(errors="replace") + " (still running 10 s after the signal)"
        os.close(r)
        if p.returncode != -sig or err:
            failures += 1
            print("FAIL: %s after %.3f s: status %s: %s" % (sig.name, whole * i / points, p.returncode, err.strip()),
                  file=sys.stderr)
sys.exit(1 if failures else 0)
PY

# A name that loops through links or is too long: said in words, not by the system's number.
ln -s loop.kvd "$scratch/loop.kvd"
run en_US.UTF-8 "$scratch/loop.kvd"
expect_status 1 "a link loop"
expect_in "$err" "The file \"$scratch/loop.kvd\" cannot be read: its name leads into a loop of symbolic links." "a link loop"
long=$scratch/$(printf 'x%.0s' {1..300}).kvd
run de_DE.UTF-8 "$long"
expect_status 1 "a name too long"
expect_in "$err" "Die Datei \"$long\" kann nicht gelesen werden: der Name ist zu lang." "a name too long"
expect_not_in "$err" "(error" "a name too long"

# Under a German locale of ISO-8859-1 the texts come in that character set, also where an alias of
# locale.alias names the locale; LC_ALL decides the character set before LANG.
if locale -a 2>/dev/null | grep -qix 'de_DE.iso88591'; then
  in_latin() {  # what
    expect_status 0 "$1"
    latin=$(iconv -f ISO-8859-1 -t UTF-8 "$scratch/out")
    for w in "Prüfsumme" "Status Grün" "Sicherheitsfunktion"; do expect_in "$latin" "$w" "$1"; done
    ! grep -q $'\xc3\xbc' "$scratch/out" || fail "$1: the report holds UTF-8"
  }
  run de_DE
  in_latin "a German locale of ISO-8859-1"
  aliases=$(locale -a | grep -ix -e deutsch -e german)
  [ -n "$aliases" ] || [ "${CI:-}" != true ] || fail "no German locale alias (deutsch, german) is installed"
  for a in $aliases; do
    run "$a"
    in_latin "the German locale alias $a"
  done
  run_env=(LC_ALL=de_DE)
  run de_DE.UTF-8
  in_latin "LC_ALL of ISO-8859-1, LANG of UTF-8"
  run_env=(LC_ALL=de_DE.UTF-8)
  run de_DE
  expect_in "$out" "Prüfsumme" "LC_ALL of UTF-8, LANG of ISO-8859-1"
elif [ "${CI:-}" = true ]; then
  fail "no locale de_DE (ISO-8859-1) (scripts/deps.sh generates it)"
else
  echo "skipped: no locale de_DE (ISO-8859-1) (scripts/deps.sh generates it)"
fi
# A German locale whose character set cannot show the German letters (here plain ASCII) gets English.
run de_DE.ANSI_X3.4-1968
expect_status 0 "a German locale of ASCII"
text=$(sed 's/"[^"]*"//g' <<<"$out")
for w in "${english[@]}"; do expect_in "$text" "$w" "a German locale of ASCII"; done
for w in "${german[@]}"; do expect_not_in "$text" "$w" "a German locale of ASCII"; done

# Language texts: one missing names the setting and the file; one that is no UTF-8 text is refused by name, and
# the other language's file is taken (the program's own where none is beside it; the locale's language for a
# name that says none), whether it lies beside the program or the setting names it. A bare name in the setting
# is one of the files beside the program.
set_setting "$scratch/config-missing" lang lngdll "$scratch/none.txt"
config=$scratch/config-missing run en_US.UTF-8
expect_status 1 "missing language texts"
expect_in "$err" "the language texts \"$scratch/none.txt\" cannot be read (setting lngdll, section lang)" \
  "missing language texts"
head -c 4096 /dev/urandom >"$scratch/random.txt"
set_setting "$scratch/config-random" lang lngdll "$scratch/random.txt"
config=$scratch/config-random run en_US.UTF-8
expect_status 0 "language texts of random bytes"
expect_in "$err" "The language file \"$scratch/random.txt\" is refused: it is no text in UTF-8" "language texts of random bytes"
expect_in "$out" "Safety function" "language texts of random bytes: the texts of the locale's language"
iconv -f UTF-8 -t ISO-8859-1 "$(dirname "$prog")/Language/Lang_DE.txt" >"$scratch/Lang_DE.txt"
set_setting "$scratch/config-latin" lang lngdll "$scratch/Lang_DE.txt"
config=$scratch/config-latin run de_DE.UTF-8
expect_status 0 "German texts in ISO-8859-1 named by the setting"
expect_in "$err" "The language file \"$scratch/Lang_DE.txt\" is refused: it is no text in UTF-8" \
  "German texts in ISO-8859-1 named by the setting"
expect_in "$out" "Safety function" "German texts in ISO-8859-1 named by the setting: the English texts"
set_setting "$scratch/config-bare" lang lngdll "Lang_EN.txt"
config=$scratch/config-bare run de_DE.UTF-8
expect_status 0 "a bare name in lngdll"
expect_in "$out" "Safety function" "a bare name in lngdll"
copy_program "$scratch/random-de"
head -c 4096 /dev/urandom >"$scratch/random-de/Language/Lang_DE.txt"
program=$scratch/random-de/kelvado_example run de_DE.UTF-8
expect_status 0 "German texts of random bytes"
expect_in "$err" "The language file \"$scratch/random-de/Language/Lang_DE.txt\" is refused" "German texts of random bytes"
expect_in "$out" "Safety function" "German texts of random bytes: the English texts"

# Settings never tie a program to another copy's folder: after a first copy has run and is gone, a second
# copy runs on its own data with the same settings. A data folder set that lacks the data is named, and the
# data beside the program are used.
copy_program "$scratch/first"
copy_program "$scratch/second"
program=$scratch/first/kelvado_example config=$scratch/config-shared run en_US.UTF-8
expect_status 0 "the first copy"
rm -rf "$scratch/first"
! grep -rqF "$scratch/first" "$scratch/config-shared" || fail "the settings name the first copy's folder"
for args in --help ""; do
  program=$scratch/second/kelvado_example config=$scratch/config-shared run en_US.UTF-8 $args
  expect_status 0 "the second copy ($args)"
done
set_setting "$scratch/config-shared" opt defAppDatadirfolder "$scratch/first"
program=$scratch/second/kelvado_example config=$scratch/config-shared run en_US.UTF-8
expect_status 0 "a data folder without the data"
expect_in "$err" "The folder \"$scratch/first\" of the setting defAppDatadirfolder (section opt) does not hold" \
  "a data folder without the data"

# "--" ends the options; a lone "-" is a file name.
run en_US.UTF-8 -- --help
expect_status 1 "-- --help"
expect_in "$err" "The file \"--help\" does not exist." "-- --help"
run en_US.UTF-8 -
expect_status 1 "a lone -"
expect_in "$err" "The file \"-\" does not exist." "a lone -"

# An error of the program's own kind is the whole message, not the detail of a generic one.
sed 's/kvdversion="1.1.2"/kvdversion="7.0.0"/g' "$example" >"$scratch/release.kvd"
python3 - "$example" "$scratch/noproject.kvd" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
open(sys.argv[2], "w", encoding="utf-8").write(re.sub(r'(</fields>)<rows>.*?</rows>', r'\1<rows/>', text))
PY
for f in release noproject; do
  run en_US.UTF-8 "$scratch/$f.kvd"
  expect_status 1 "$f"
  [ "$(wc -l <<<"$err")" = 1 ] || fail "$f: more than the program's own sentence: $err"
  expect_not_in "$err" "Cause" "$f"
done
expect_in "$err" "The file \"$scratch/noproject.kvd\" holds no project." "noproject"

# Too little memory for a large project: said as such, in the run's language, never blamed on the file. Under a
# sanitizer the program cannot run within an address-space limit at all.
if ldd "$prog" 2>/dev/null | grep -q -e libasan -e libtsan; then
  echo "skipped: a sanitizer build cannot run under an address-space limit"
else
  cp "$example" "$scratch/big.kvd"
  echo | KELVADO_CONFIG_DIR="$scratch/config-big" "$(dirname "$prog")/kv_pf_saver" "$scratch/big.kvd" 3000 >/dev/null
  printf '#!/bin/sh\nexec prlimit --as="$KV_LIMIT" "%s" "$@"\n' "$prog" >"$scratch/limited"
  chmod +x "$scratch/limited"
  # The program's own sentence when memory runs out after the open, while the report is made (its checksum
  # takes more than the open).
  ran_short="kelvado_example: Der Arbeitsspeicher reicht für diesen Lauf nicht aus; schließen Sie andere Programme und versuchen Sie es erneut."
  short=0 lo=0 hi=2048 after_open=
  # A run ended for want of memory: said as such and never blamed on the file, with no part of the report.
  check_short() {
    expect_status 1 "$1 MB of memory"
    expect_in "$err" "Arbeitsspeicher" "$1 MB of memory"
    for w in "beschädigt" "bad_alloc" "ungültig"; do expect_not_in "$err" "$w" "$1 MB of memory"; done
    [ -z "$out" ] || fail "$1 MB of memory: a part of the report was printed: $(head -c 300 <<<"$out")"
    [ "$err" != "$ran_short" ] || after_open=$1
  }
  for mb in 400 300 250 200 150; do
    run_env=("KV_LIMIT=$((mb * 1024 * 1024))")
    program=$scratch/limited run de_DE.UTF-8 "$scratch/big.kvd"
    if [ "$status" = 0 ]; then
      hi=$mb
      continue
    fi
    [ "$lo" -gt 0 ] || lo=$mb
    short=$((short + 1))
    check_short "$mb"
  done
  [ "$short" -gt 0 ] || fail "no run of the large project ran short of memory"
  # Between the limit at which the file cannot be opened and the one at which the whole run fits, the file opens
  # and the memory runs out while the report is made. Such a limit is found by halving, each run being a check
  # of its own (the boundaries themselves move by a few MB from run to run), so that it holds for any build.
  if [ "$hi" = 2048 ]; then
    run_env=("KV_LIMIT=$((hi * 1024 * 1024))")
    program=$scratch/limited run de_DE.UTF-8 "$scratch/big.kvd"
    expect_status 0 "$hi MB of memory"
  fi
  while [ -z "$after_open" ] && [ $((hi - lo)) -gt 2 ]; do
    mid=$(((lo + hi) / 2))
    run_env=("KV_LIMIT=$((mid * 1024 * 1024))")
    program=$scratch/limited run de_DE.UTF-8 "$scratch/big.kvd"
    if [ "$status" = 0 ]; then
      hi=$mid
    else
      check_short "$mid"
      lo=$mid
    fi
  done
  [ -n "$after_open" ] || fail "no limit let the large project open and then run short while its report was made"
fi

# The template of one's own machine names the program that runs (a copy of it is the user's program), in its
# usage and before every error.
mkdir -p "$scratch/mine"
ln -sf "$(cd "$(dirname "$prog")" && pwd)/kelvado_make_example" "$scratch/mine/my_machine"
program=$scratch/mine/my_machine run en_US.UTF-8
expect_status 2 "the template without a file"
expect_in "$err" "usage: my_machine FILE.kvd" "the template without a file"
program=$scratch/mine/my_machine run en_US.UTF-8 "$scratch/none/mine.kvd"
expect_status 1 "the template writing into a missing folder"
expect_in "$err" "my_machine: " "the template writing into a missing folder"
expect_not_in "$err" "kelvado_make_example" "the template writing into a missing folder"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "main job: all checks passed"
