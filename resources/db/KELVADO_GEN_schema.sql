/* General database: the standard's tables that the program looks up. Every row carries the text of the
   edition of the standard it belongs to (NormVersion); the program asks only for the edition it runs with.
   Enumerations are stored by their identifier texts (catB .. cat4, plA .. plE, dcNone .. dcHigh,
   mttfLow .. mttfHigh); risk-graph parameters by ordinal (0 = S1/F1/P1, 1 = S2/F2/P2). */

/* Per category: channels and whether common cause failure counts. */
CREATE TABLE Cat (
  Cat VARCHAR(4) NOT NULL,
  CCFRelevant SMALLINT NOT NULL,
  ChannelCount INTEGER NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_Cat PRIMARY KEY (Cat, NormVersion),
  CHECK (Cat IN ('catB', 'cat1', 'cat2', 'cat3', 'cat4')),
  CHECK (CCFRelevant BETWEEN 0 AND 1),
  CHECK (ChannelCount BETWEEN 1 AND 2)
);

/* MTTFd bands of a channel that a category allows. */
CREATE TABLE CatReqMTTFd (
  Cat VARCHAR(4) NOT NULL,
  MTTFd VARCHAR(10) NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_CatReqMTTFd PRIMARY KEY (Cat, MTTFd, NormVersion),
  CHECK (MTTFd IN ('mttfLow', 'mttfMedium', 'mttfHigh'))
);

/* DCavg bands that a category allows. */
CREATE TABLE CatReqDCavg (
  Cat VARCHAR(4) NOT NULL,
  DCavg VARCHAR(8) NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_CatReqDCavg PRIMARY KEY (Cat, DCavg, NormVersion),
  CHECK (DCavg IN ('dcNone', 'dcLow', 'dcMedium', 'dcHigh'))
);

/* Requirements a subsystem must meet for its category; CCID stays the same across editions. */
CREATE TABLE CatConditions (
  OID VARCHAR(36) NOT NULL,
  Text VARCHAR(2048) NOT NULL,
  CCID VARCHAR(36) NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_CatConditions PRIMARY KEY (OID)
);

CREATE TABLE CatReqConditions (
  Cat VARCHAR(4) NOT NULL,
  CatCondition VARCHAR(36) NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_CatReqConditions PRIMARY KEY (Cat, CatCondition, NormVersion),
  CONSTRAINT FK_CatReqConditions FOREIGN KEY (CatCondition) REFERENCES CatConditions (OID)
);

/* Requirements a subsystem must meet for a performance level. */
CREATE TABLE PLConditions (
  OID VARCHAR(36) NOT NULL,
  Text VARCHAR(2048) NOT NULL,
  PLCID VARCHAR(36) NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_PLConditions PRIMARY KEY (OID)
);

CREATE TABLE PLReqConditions (
  PL VARCHAR(3) NOT NULL,
  PLCondition VARCHAR(36) NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_PLReqConditions PRIMARY KEY (PL, PLCondition, NormVersion),
  CONSTRAINT FK_PLReqConditions FOREIGN KEY (PLCondition) REFERENCES PLConditions (OID),
  CHECK (PL IN ('plA', 'plB', 'plC', 'plD', 'plE'))
);

/* DC bands as fractions; a value on a shared bound belongs to the band with the higher lower bound. */
CREATE TABLE DC (
  DC VARCHAR(8) NOT NULL,
  DClower DOUBLE PRECISION NOT NULL,
  DCupper DOUBLE PRECISION NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_DC PRIMARY KEY (DC, NormVersion),
  CHECK (DC IN ('dcNone', 'dcLow', 'dcMedium', 'dcHigh')),
  CHECK (DClower <= DCupper)
);

/* MTTFd bands of a channel in years, same rule on shared bounds. */
CREATE TABLE MTTFd (
  MTTFd VARCHAR(10) NOT NULL,
  MTTFdlower DOUBLE PRECISION NOT NULL,
  MTTFdupper DOUBLE PRECISION NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_MTTFd PRIMARY KEY (MTTFd, NormVersion),
  CHECK (MTTFd IN ('mttfLow', 'mttfMedium', 'mttfHigh')),
  CHECK (MTTFdlower <= MTTFdupper)
);

/* Mission time in years and the required CCF score in points. */
CREATE TABLE Const (
  MinServiceLife DOUBLE PRECISION NOT NULL,
  ReqCCFScore DOUBLE PRECISION NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_Const PRIMARY KEY (NormVersion)
);

/* PFH per hour by category, DCavg band and MTTFd of a channel (years). */
CREATE TABLE PFH (
  Cat VARCHAR(4) NOT NULL,
  DCavg VARCHAR(8) NOT NULL,
  MTTFd DOUBLE PRECISION NOT NULL,
  PFH DOUBLE PRECISION NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_PFH PRIMARY KEY (Cat, DCavg, MTTFd, NormVersion),
  CHECK (Cat IN ('catB', 'cat1', 'cat2', 'cat3', 'cat4')),
  CHECK (DCavg IN ('dcNone', 'dcLow', 'dcMedium', 'dcHigh')),
  CHECK (PFH > 0.0)
);

/* The same grid with DCavg as the number at the lower limit of its band, for interpolation. */
CREATE TABLE PFHi (
  Cat VARCHAR(4) NOT NULL,
  DCavg DOUBLE PRECISION NOT NULL,
  MTTFd DOUBLE PRECISION NOT NULL,
  PFH DOUBLE PRECISION NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_PFHi PRIMARY KEY (Cat, DCavg, MTTFd, NormVersion),
  CHECK (Cat IN ('catB', 'cat1', 'cat2', 'cat3', 'cat4')),
  CHECK (DCavg BETWEEN 0.0 AND 1.0),
  CHECK (PFH > 0.0)
);

/* PL bands of PFH: lower bound inclusive, upper bound exclusive. */
CREATE TABLE PLs (
  PL VARCHAR(3) NOT NULL,
  PFHlower DOUBLE PRECISION NOT NULL,
  PFHupper DOUBLE PRECISION NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_PLs PRIMARY KEY (PL, NormVersion),
  CHECK (PL IN ('plA', 'plB', 'plC', 'plD', 'plE')),
  CHECK (PFHlower < PFHupper)
);

/* Risk graph: severity, frequency and possibility of avoidance give the required PL. */
CREATE TABLE RiskParams (
  ParamS SMALLINT NOT NULL,
  ParamF SMALLINT NOT NULL,
  ParamP SMALLINT NOT NULL,
  PL VARCHAR(3) NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_RiskParams PRIMARY KEY (ParamS, ParamF, ParamP, NormVersion),
  CHECK (ParamS BETWEEN 0 AND 1),
  CHECK (ParamF BETWEEN 0 AND 1),
  CHECK (ParamP BETWEEN 0 AND 1),
  CHECK (PL IN ('plA', 'plB', 'plC', 'plD', 'plE'))
);

/* Types of safety functions offered for selection. */
CREATE TABLE SFTypes (
  Name VARCHAR(255) NOT NULL,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_SFTypes PRIMARY KEY (Name, NormVersion)
);

/* Typical MTTFd (years) or B10d (cycles) of well-tried components; NULL where the standard gives none. */
CREATE TABLE GEPMTTFd (
  PartName VARCHAR(255) NOT NULL,
  WellTriedRef VARCHAR(255) NOT NULL,
  Standards VARCHAR(255) NOT NULL,
  TypicalMTTFd DOUBLE PRECISION,
  TypicalB10d DOUBLE PRECISION,
  NormVersion VARCHAR(100) NOT NULL,
  CONSTRAINT PK_GEPMTTFd PRIMARY KEY (PartName, NormVersion),
  CHECK (TypicalMTTFd IS NULL OR TypicalMTTFd > 0.0),
  CHECK (TypicalB10d IS NULL OR TypicalB10d > 0.0)
);

/*COMMIT;*/
