#pragma once
// Names of the language texts that code asks for by number (resources/lang/Lang_DE.txt holds the texts).
// Each group is numbered the way its users take it:
//   txt...  general texts (base 0): GetMsgString(txt..., msgBaseGeneral); index and number are the same.
//   msg...  error texts (base 1000) by their full number, as exceptions carry it: EInvalidValue(msgInvalidValue).
//   sts...  status texts (base 3000) by their index below the base, as StatusText adds it: 3271 is
//           stsSubsystemNoName = 271.
//   shl...  further texts of the shell (base 5000) by their index.
// Arguments a text is formatted with are noted where it has any. A new text gets its name here.

namespace kelvado {

// ---- General texts (base 0) ----
// Captions of the nodes, measures and conditions.
inline constexpr int txtChannel = 3;
inline constexpr int txtTestChannel = 4;
inline constexpr int txtSubsystem = 5;
inline constexpr int txtSF = 6;
inline constexpr int txtProject = 7;
inline constexpr int txtDCMeasure = 8;
inline constexpr int txtCCFMeasure = 9;
inline constexpr int txtCatCondition = 10;
inline constexpr int txtPLCondition = 11;
// Captions of the lists.
inline constexpr int txtPLConditions = 12;
inline constexpr int txtElements = 21;
inline constexpr int txtBlocs = 22;
inline constexpr int txtChannels = 23;
inline constexpr int txtSubsystems = 25;
inline constexpr int txtSFs = 26;
inline constexpr int txtProjects = 27;
inline constexpr int txtDCMeasures = 28;
inline constexpr int txtCCFMeasures = 29;
inline constexpr int txtCatConditions = 30;
// Names of the item statuses, in the order of TItemStatus (isRed first).
inline constexpr int txtFirstStatusName = 81;
inline constexpr int txtYes = 101;
inline constexpr int txtNo = 102;
inline constexpr int txtUnknown = 103;
// The words of the placeholder names ("<" word ">"); a name that contains its word is no name.
inline constexpr int txtPlaceholderProject = 111;
inline constexpr int txtPlaceholderSF = 112;
inline constexpr int txtPlaceholderSubsystem = 113;
inline constexpr int txtPlaceholderBloc = 114;
inline constexpr int txtPlaceholderElement = 115;
inline constexpr int txtPlaceholderCCFMeasure = 116;
inline constexpr int txtPlaceholderDCMeasure = 117;
// Pieces of the measure, subsystem and safety-function texts.
inline constexpr int txtPoints = 324;
inline constexpr int txtInsufficientForPL = 349;
inline constexpr int txtCharacteristics = 354;
inline constexpr int txtDependsOn = 384;
inline constexpr int txtNotRelevant = 391;
inline constexpr int txtAllowedMTTFd = 401;
inline constexpr int txtMTTFdBandsOr = 402;
inline constexpr int txtAllowedDCavg = 403;
inline constexpr int txtDCavgBandsOr = 404;
inline constexpr int txtCCFRequirement = 405;  // the required score
inline constexpr int txtTestChannelMTTFdRule = 408;
// Names of the technologies, in the order of TTechnology.
inline constexpr int txtFirstTechnology = 421;
inline constexpr int txtCatRequirementsNotChecked = 611;
inline constexpr int txtPLEnteredDirectly = 612;

// ---- Error texts (base 1000), by number ----
inline constexpr int msgInvalidValue = 1001;               // the value
inline constexpr int msgProtectionViolation = 1002;
inline constexpr int msgInvalidDCBound = 1003;
inline constexpr int msgDCOutOfRange = 1004;               // value, lowest, highest
inline constexpr int msgCCFScoreOutOfRange = 1005;         // value, lowest, highest
inline constexpr int msgB10dTooSmall = 1006;               // value, lowest
inline constexpr int msgMTTFdTooSmall = 1007;              // value, lowest
inline constexpr int msgNopTooSmall = 1008;                // value, bound
inline constexpr int msgDetNotSupported = 1010;            // the determination
inline constexpr int msgChannelCount = 1011;               // the number of channels asked for
inline constexpr int msgValuePlace = 1180;                 // file, table, row (identifier), column
inline constexpr int msgXMLEndsEarly = 1181;               // file, line, position
inline constexpr int msgXMLTagMismatch = 1182;             // file, end tag, open element, line, position
inline constexpr int msgXMLInvalidCharacter = 1183;        // file, line, position
inline constexpr int msgChannelsMissing = 1185;            // subsystem, channels it has, category, channels needed
inline constexpr int msgXMLNotXML = 1186;                  // file, line, position
inline constexpr int msgXMLElementNotAllowed = 1187;       // file, element, line, position
inline constexpr int msgXMLAttributeNotAllowed = 1188;     // file, element, attribute, line, position
inline constexpr int msgRescueCopy = 1195;                 // the rescue copy, a name under which it opens
// The item a refused value was meant for, put in front of the refusal; the argument is its name.
inline constexpr int msgElementNamed = 1196;
inline constexpr int msgBlocNamed = 1197;
inline constexpr int msgSubsystemNamed = 1198;
inline constexpr int msgSFNamed = 1199;
inline constexpr int msgPFHTooSmall = 1017;                // value, lowest
inline constexpr int msgTestChannelOfTestChannel = 1018;
inline constexpr int msgInvalidXML = 1031;                 // file, reason, line, position
inline constexpr int msgMissionTimeTooLarge = 1040;        // value, highest
// A project file's content; arguments: the file, the table, then as listed.
inline constexpr int msgXMLUnknownTable = 1060;            // -
inline constexpr int msgXMLUnknownColumn = 1061;           // column
inline constexpr int msgXMLDuplicateOID = 1062;            // row, column, OID
inline constexpr int msgXMLDanglingReference = 1063;       // row, column, OID, table the OID should be in
inline constexpr int msgXMLInvalidValue = 1064;            // row, column, value
inline constexpr int msgXMLReferencedTwice = 1065;         // row, column, OID
inline constexpr int msgXMLMissingTable = 1068;            // - (a table the reader needs is not in the file)
inline constexpr int msgXMLUnnamedRow = 1069;              // row, column, OID, node table, its column
inline constexpr int msgSettingsAccessFailed = 1100;       // the failure
inline constexpr int msgFileHardLinked = 1120;             // file, its number of names
// A save that could not keep what the file has (see TFileKeepRefusal); first argument: the file.
inline constexpr int msgSaveTakesRights = 1130;            // owner, saver, who loses, rights after, before
inline constexpr int msgSaveLosesGroup = 1131;             // the file's group, the saver
inline constexpr int msgSaveLosesAttribute = 1132;         // the attribute, the reason
inline constexpr int msgSaveLosesSetIdBits = 1133;         // the saver
// Exports and imports of project items, and files of more than one project.
inline constexpr int msgExportTargetHoldsProject = 1084;   // file, the project's name
inline constexpr int msgExportTargetNotProjectFile = 1085; // file
inline constexpr int msgSeveralProjectsInFile = 1086;      // file, the number of projects
inline constexpr int msgNothingToImport = 1087;            // file, the caption of the target list
// Files and settings that cannot be used; a reason is one of the msgReason... texts (see SystemErrorText).
inline constexpr int msgFileCannotBeRead = 1140;           // the file, the reason
inline constexpr int msgSettingsErrorCaption = 1141;       // the program's version
inline constexpr int msgSettingsFileFailed = 1142;         // the file or folder, the reason
inline constexpr int msgSettingsFileDamaged = 1143;        // the file, the line
inline constexpr int msgDataFolderLacksData = 1144;        // the folder set, the program's folder
inline constexpr int msgReasonPermission = 1145;
inline constexpr int msgReasonReadOnlyFileSystem = 1146;
inline constexpr int msgReasonDiskFull = 1147;
inline constexpr int msgReasonLinkLoop = 1148;
inline constexpr int msgReasonNameTooLong = 1149;
inline constexpr int msgReasonMissing = 1150;
inline constexpr int msgReasonNotAFolder = 1151;
inline constexpr int msgReasonInTheWay = 1152;
inline constexpr int msgReasonIOError = 1153;
inline constexpr int msgReasonClosed = 1154;
inline constexpr int msgReasonOther = 1155;                // the error number, the system's text
inline constexpr int msgLibraryReadOnly = 1170;            // the library file
inline constexpr int msgNoLibraryOpen = 1171;              // - (a library failed to open and none is open)
inline constexpr int msgDefaultsNotWritten = 1172;         // the settings file or folder, the reason
inline constexpr int msgReasonReadOnly = 1173;             // - (a file its owner or this user may not write)
inline constexpr int msgOutOfMemory = 1160;                // the file being read or written
inline constexpr int msgFileNeedsTooMuchMemory = 1161;     // file, its size, the estimate, what may be used (MB),
                                                           // the limit that bounds it (one of the four below)
inline constexpr int msgBoundAddressSpace = 1162;
inline constexpr int msgBoundDataSize = 1163;
inline constexpr int msgBoundControlGroup = 1164;
inline constexpr int msgBoundMachine = 1165;

// ---- Status texts (base 3000), by index ----
// Element.
inline constexpr int stsElementNoName = 256;
inline constexpr int stsElementMTTFdBelowMin = 257;
inline constexpr int stsElementT10dTooShort = 258;          // reference time, T10d
inline constexpr int stsElementMissionTimeTooShort = 259;   // reference time, mission time
inline constexpr int stsElementB10dMTTFdBelowMin = 299;
// Block.
inline constexpr int stsBlocNoName = 261;
inline constexpr int stsBlocMTTFdBelowMin = 262;
inline constexpr int stsBlocDCUndetermined = 263;
inline constexpr int stsBlocMissionTimeTooShort = 265;      // reference time, mission time
inline constexpr int stsDCMeasureInsufficient = 291;        // the required PL
inline constexpr int stsBlocNoElementsForMTTFd = 294;
inline constexpr int stsBlocNoElementsForDC = 295;
// Channel and test channel.
inline constexpr int stsChannelMTTFdBelowMin = 266;
inline constexpr int stsTestChannelMTTFdTooLow = 267;
inline constexpr int stsChannelNotSatisfied = 268;
inline constexpr int stsChannelMTTFdCapped = 269;           // MTTFd, capped MTTFd, cap
inline constexpr int stsChannelMTTFdFitted = 270;           // capped MTTFd, fitted MTTFd, test channel's MTTFd
// Subsystem.
inline constexpr int stsSubsystemNoName = 271;
inline constexpr int stsCatRequirementsNotMet = 272;
inline constexpr int stsSubsystemMTTFdBelowMin = 273;
inline constexpr int stsSubsystemDCavgUndetermined = 274;
inline constexpr int stsSubsystemPFHUndetermined = 278;
inline constexpr int stsSubsystemMTTFdAboveCap = 280;       // MTTFd text, entered MTTFd, cap
inline constexpr int stsImplausibleForPLe = 285;
inline constexpr int stsSubsystemMissionTimeTooShort = 288; // reference time, mission time
inline constexpr int stsDCavgWithinTolerance = 293;         // the tolerance in percent
inline constexpr int stsSubsystemNoBlocsForMTTFd = 296;
inline constexpr int stsSubsystemNoBlocsForDCavg = 297;
inline constexpr int stsPFHDoesNotBackPL = 380;             // PFH text, PL of the PFH, PL entered
// Safety function.
inline constexpr int stsSFNoName = 276;
inline constexpr int stsPLrNotReached = 277;                // PLr
inline constexpr int stsPFHSumTooHigh = 279;                // the highest PFH
inline constexpr int stsSFNoEffectiveSubsystem = 286;       // PLr
inline constexpr int stsPLrLimitedBySubsystem = 381;        // PLr
inline constexpr int stsPleaseCheck = 382;                  // what, and what of it
// Project.
inline constexpr int stsProjectNoName = 281;
inline constexpr int stsProjectOtherRelease = 282;          // release of the file, release of the program
inline constexpr int stsProjectOtherNorm = 283;             // edition of the file, edition of the program
// Upgrade notices.
inline constexpr int stsCatRelevanceChanged = 330;          // release since which it holds
inline constexpr int stsCatCheckTurnedOff = 332;
inline constexpr int stsCatCheckTurnedOn = 333;
inline constexpr int stsCheckSubsystemsIn = 363;            // release
inline constexpr int stsSaveToKeepChanges = 364;
// Band texts from the language file, in the order of TMTTFdDenotation and TDCDenotation.
inline constexpr int stsFirstMTTFdBand = 700;
inline constexpr int stsFirstDCBand = 705;

// ---- Further texts of the shell (base 5000), by index ----
inline constexpr int shlReadMeHash = 1;

}  // namespace kelvado
