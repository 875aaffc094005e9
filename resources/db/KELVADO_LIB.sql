/* Item library: domains and tables. Run first on a new, empty library file; the foreign keys
   (KELVADO_LIB_DEP) and range checks (KELVADO_LIB_RNG) follow. Enumerations are stored by their
   identifier texts, booleans as 0/1; in DOUBLE PRECISION columns -2.0 stands for infinity. */

CREATE DOMAIN D_BOOLEAN AS SMALLINT DEFAULT 0 CHECK (VALUE BETWEEN 0 AND 1);
CREATE DOMAIN D_CAT AS CHAR(4) DEFAULT 'cat4'
  CHECK (VALUE IN ('catB', 'cat1', 'cat2', 'cat3', 'cat4'));
CREATE DOMAIN D_DC AS VARCHAR(8) DEFAULT 'dcNone'
  CHECK (VALUE IN ('dcNone', 'dcLow', 'dcMedium', 'dcHigh'));
CREATE DOMAIN D_DETERMINATION AS VARCHAR(11) DEFAULT 'detDirect'
  CHECK (VALUE IN ('detDirect', 'detSubItems', 'detMeasures'));
CREATE DOMAIN D_MTTFD AS VARCHAR(10) DEFAULT 'mttfLow'
  CHECK (VALUE IN ('mttfLow', 'mttfMedium', 'mttfHigh'));
CREATE DOMAIN D_NORMVERSION AS VARCHAR(1024) DEFAULT 'ISO 13849-1:2006, ISO 13849-2:2003';
CREATE DOMAIN D_KELVADOVERSION AS VARCHAR(1024) DEFAULT '';
CREATE DOMAIN D_OID AS VARCHAR(36);
CREATE DOMAIN D_PL AS CHAR(3) DEFAULT 'plA'
  CHECK (VALUE IN ('plA', 'plB', 'plC', 'plD', 'plE', 'plN'));
CREATE DOMAIN D_TECHNOLOGY AS VARCHAR(18) DEFAULT 'tecOther'
  CHECK (VALUE IN ('tecElectromechanic', 'tecElectronic', 'tecHydraulic', 'tecMechanic', 'tecPneumatic',
                   'tecOther'));
CREATE DOMAIN D_NAME AS VARCHAR(1024);
CREATE DOMAIN D_PATH AS VARCHAR(2048);
CREATE DOMAIN D_TEXT AS VARCHAR(8192);

/* Declared only; nothing reads or writes it. */
CREATE TABLE Next_OID (
  OID D_OID NOT NULL
);

/* Header record of the library. */
CREATE TABLE LibMetaData (
  IsProtected D_BOOLEAN NOT NULL,
  DateTime TIMESTAMP NOT NULL,
  Info D_TEXT NOT NULL,
  Name D_NAME NOT NULL,
  Owner D_NAME NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  OID D_OID NOT NULL,
  KVDVersion D_KELVADOVERSION NOT NULL
);

/* Subsystem data. */
CREATE TABLE Components (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  Cat D_CAT NOT NULL,
  CatDocumentation D_TEXT NOT NULL,
  CatStandard D_TEXT NOT NULL,
  CatStandardFile D_TEXT NOT NULL,
  CCFScore DOUBLE PRECISION NOT NULL,
  CCFScoreDet D_DETERMINATION NOT NULL,
  DCavg DOUBLE PRECISION NOT NULL,
  DCavgDet D_DETERMINATION NOT NULL,
  DCavgDocumentation D_TEXT NOT NULL,
  Description D_TEXT NOT NULL,
  Document D_PATH NOT NULL,
  Documentation D_TEXT NOT NULL,
  Manufacturer D_NAME NOT NULL,
  MissionTime DOUBLE PRECISION NOT NULL,
  MTTFd DOUBLE PRECISION NOT NULL,
  MTTFdDet D_DETERMINATION NOT NULL,
  Name D_NAME NOT NULL,
  OID D_OID NOT NULL,
  PartNo D_NAME NOT NULL,
  PLDirectNoBind D_PL NOT NULL,
  IsPLPFHBind D_BOOLEAN NOT NULL,
  PFH DOUBLE PRECISION NOT NULL,
  PLDet D_DETERMINATION NOT NULL,
  PLDocumentation D_TEXT NOT NULL,
  UseWorstCaseMTTFd D_BOOLEAN NOT NULL,
  CatConditionsRelevant D_BOOLEAN NOT NULL,
  CONSTRAINT PK_Components PRIMARY KEY (OID)
);

/* Subsystem nodes: all top-level. */
CREATE TABLE ComponentOps (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  Component D_OID NOT NULL,
  CompOrder DOUBLE PRECISION NOT NULL,
  OID D_OID NOT NULL,
  CONSTRAINT PK_ComponentOps PRIMARY KEY (OID)
);

/* Channel and test-channel data. */
CREATE TABLE Channels (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  IsTestChannel D_BOOLEAN NOT NULL,
  OID D_OID NOT NULL,
  CONSTRAINT PK_Channels PRIMARY KEY (OID)
);

/* Channel and test-channel nodes; ComponentOp NULL marks a top-level entry. */
CREATE TABLE ChannelOps (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  Channel D_OID NOT NULL,
  ComponentOp D_OID,
  OID D_OID NOT NULL,
  ChnOrder DOUBLE PRECISION NOT NULL,
  TestChannelOp D_OID,
  IsTestChannelOp D_BOOLEAN NOT NULL,
  CONSTRAINT PK_ChannelOps PRIMARY KEY (OID)
);

/* Block data. */
CREATE TABLE Blocs (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  DC DOUBLE PRECISION NOT NULL,
  DCDet D_DETERMINATION NOT NULL,
  DCDocumentation D_TEXT NOT NULL,
  DCMeasureOp D_OID,
  Description D_TEXT NOT NULL,
  Document D_PATH NOT NULL,
  Documentation D_TEXT NOT NULL,
  Manufacturer D_NAME NOT NULL,
  MissionTime DOUBLE PRECISION NOT NULL,
  MTTFd DOUBLE PRECISION NOT NULL,
  MTTFdDet D_DETERMINATION NOT NULL,
  Name D_NAME NOT NULL,
  OID D_OID NOT NULL,
  PartNo D_NAME NOT NULL,
  CONSTRAINT PK_Blocs PRIMARY KEY (OID)
);

/* Block nodes; ChannelOp NULL marks a top-level entry. */
CREATE TABLE BlocOps (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  Bloc D_OID NOT NULL,
  BlocOrder DOUBLE PRECISION NOT NULL,
  ChannelOp D_OID,
  OID D_OID NOT NULL,
  CONSTRAINT PK_BlocOps PRIMARY KEY (OID)
);

/* Element data. */
CREATE TABLE Elements (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  B10d DOUBLE PRECISION NOT NULL,
  DC DOUBLE PRECISION NOT NULL,
  DCDet D_DETERMINATION NOT NULL,
  DCDocumentation D_TEXT NOT NULL,
  DCMeasureOp D_OID,
  Description D_TEXT NOT NULL,
  Document D_PATH NOT NULL,
  Documentation D_TEXT NOT NULL,
  Manufacturer D_NAME NOT NULL,
  MissionTime DOUBLE PRECISION NOT NULL,
  MTTFd DOUBLE PRECISION NOT NULL,
  Name D_NAME NOT NULL,
  OID D_OID NOT NULL,
  PartNo D_NAME NOT NULL,
  Technology D_TECHNOLOGY NOT NULL,
  UseB10d D_BOOLEAN NOT NULL,
  CONSTRAINT PK_Elements PRIMARY KEY (OID)
);

/* Element nodes; BlocOp NULL marks a top-level entry. Nop: operations per year. */
CREATE TABLE ElementOps (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  BlocOp D_OID,
  Element D_OID NOT NULL,
  ElmOrder DOUBLE PRECISION NOT NULL,
  Nop DOUBLE PRECISION NOT NULL,
  OID D_OID NOT NULL,
  CONSTRAINT PK_ElementOps PRIMARY KEY (OID)
);

/* DC measure definitions. */
CREATE TABLE DCMeasures (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  DCmax DOUBLE PRECISION NOT NULL,
  DCmin DOUBLE PRECISION NOT NULL,
  Dependency D_TEXT NOT NULL,
  Description D_TEXT NOT NULL,
  Document D_PATH NOT NULL,
  Documentation D_TEXT NOT NULL,
  Heading D_NAME NOT NULL,
  OID D_OID NOT NULL,
  CONSTRAINT PK_DCMeasures PRIMARY KEY (OID)
);

/* One row per performance level for which a DC measure is insufficient. */
CREATE TABLE DCMeasureInsuffPLs (
  DCMeasure D_OID NOT NULL,
  PL D_PL NOT NULL
);

/* Chosen DC measures; blocks and elements point here through their DCMeasureOp column. */
CREATE TABLE DCMeasureOps (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  DC DOUBLE PRECISION NOT NULL,
  DCMeasure D_OID NOT NULL,
  OID D_OID NOT NULL,
  CONSTRAINT PK_DCMeasureOps PRIMARY KEY (OID)
);

/* CCF measure definitions. */
CREATE TABLE CCFMeasures (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  Description D_TEXT NOT NULL,
  Document D_PATH NOT NULL,
  Documentation D_TEXT NOT NULL,
  Heading D_NAME NOT NULL,
  Number D_NAME NOT NULL,
  OID D_OID NOT NULL,
  Score DOUBLE PRECISION NOT NULL,
  CONSTRAINT PK_CCFMeasures PRIMARY KEY (OID)
);

/* CCF measures of a subsystem; Component is the subsystem data row. */
CREATE TABLE CCFMeasureOps (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  CCFMOrder DOUBLE PRECISION NOT NULL,
  CCFMeasure D_OID NOT NULL,
  Component D_OID,
  OID D_OID NOT NULL,
  CONSTRAINT PK_CCFMeasureOps PRIMARY KEY (OID)
);

/* Category condition definitions; CCID identifies the condition in the standard's tables. */
CREATE TABLE CatConditions (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  OID D_OID NOT NULL,
  Text D_TEXT NOT NULL,
  CCID D_OID NOT NULL,
  CONSTRAINT PK_CatConditions PRIMARY KEY (OID)
);

CREATE TABLE CatConditionOps (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  CatCondition D_OID NOT NULL,
  Component D_OID,
  OID D_OID NOT NULL,
  CONSTRAINT PK_CatConditionOps PRIMARY KEY (OID)
);

/* PL condition definitions. */
CREATE TABLE PLConditions (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  OID D_OID NOT NULL,
  Text D_TEXT NOT NULL,
  PLCID D_OID NOT NULL,
  CONSTRAINT PK_PLConditions PRIMARY KEY (OID)
);

CREATE TABLE PLConditionOps (
  KVDVersion D_KELVADOVERSION NOT NULL,
  NormVersion D_NORMVERSION NOT NULL,
  IsProtected D_BOOLEAN NOT NULL,
  PLCondition D_OID NOT NULL,
  Component D_OID,
  OID D_OID NOT NULL,
  CONSTRAINT PK_PLConditionOps PRIMARY KEY (OID)
);

/*COMMIT;*/
