/* Item library: range checks, run third. In DOUBLE PRECISION columns the value -2.0 stands for
   infinity; MTTFd starts at 3 years, scores lie between 0 and 100. */

ALTER TABLE Components ADD CHECK (CCFScore BETWEEN 0.0 AND 100.0);
ALTER TABLE Components ADD CHECK ((DCavg >= 0.0) OR (DCavg = -2.0));
ALTER TABLE Components ADD CHECK ((MissionTime >= 0.0) OR (MissionTime = -2.0));
ALTER TABLE Components ADD CHECK ((MTTFd >= 3.0) OR (MTTFd = -2.0));
ALTER TABLE Components ADD CHECK ((PFH >= 0.0) OR (PFH  = -2.0));
ALTER TABLE Blocs ADD CHECK ((DC >= 0.0) OR (DC = -2.0));
ALTER TABLE Blocs ADD CHECK ((MissionTime >= 0.0) OR (MissionTime = -2.0));
ALTER TABLE Blocs ADD CHECK ((MTTFd >= 3.0) OR (MTTFd = -2.0));
ALTER TABLE Elements ADD CHECK ((B10d >= 0.0) OR (B10d = -2.0));
ALTER TABLE Elements ADD CHECK ((DC >= 0.0) OR (DC = -2.0));
ALTER TABLE Elements ADD CHECK ((MissionTime >= 0.0) OR (MissionTime = -2.0));
ALTER TABLE Elements ADD CHECK ((MTTFd >= 3.0) OR (MTTFd = -2.0));
ALTER TABLE ElementOps ADD CHECK ((Nop >= 0.0) OR (Nop = -2.0));
ALTER TABLE DCMeasures ADD CHECK ((DCmax >= 0.0) OR (DCmax = -2.0));
ALTER TABLE DCMeasures ADD CHECK ((DCmin >= 0.0) OR (DCmin = -2.0));
ALTER TABLE DCMeasureOps ADD CHECK ((DC >= 0.0) OR (DC = -2.0));
ALTER TABLE CCFMeasures ADD CHECK (Score BETWEEN 0.0 AND 100.0);

/*COMMIT;*/
