/* Item library: foreign keys, run second. Rows must be deleted node first, data second. */

ALTER TABLE ComponentOps ADD FOREIGN KEY (Component) REFERENCES Components (OID);
ALTER TABLE ChannelOps ADD FOREIGN KEY (Channel) REFERENCES Channels (OID);
ALTER TABLE ChannelOps ADD FOREIGN KEY (ComponentOp) REFERENCES ComponentOps (OID);
ALTER TABLE BlocOps ADD FOREIGN KEY (Bloc) REFERENCES Blocs (OID);
ALTER TABLE BlocOps ADD FOREIGN KEY (ChannelOp) REFERENCES ChannelOps (OID);
ALTER TABLE ElementOps ADD FOREIGN KEY (BlocOp) REFERENCES BlocOps (OID);
ALTER TABLE ElementOps ADD FOREIGN KEY (Element) REFERENCES Elements (OID);
ALTER TABLE DCMeasureOps ADD FOREIGN KEY (DCMeasure) REFERENCES DCMeasures (OID);
/* Not created: the insufficient-PL rows are kept without a link to their measure.
ALTER TABLE DCMeasureInsuffPLs ADD FOREIGN KEY (DCMeasure) REFERENCES DCMeasures (OID);
*/
ALTER TABLE Blocs ADD FOREIGN KEY (DCMeasureOp) REFERENCES DCMeasureOps (OID);
ALTER TABLE Elements ADD FOREIGN KEY (DCMeasureOp) REFERENCES DCMeasureOps (OID);
ALTER TABLE CCFMeasureOps ADD FOREIGN KEY (CCFMeasure) REFERENCES CCFMeasures (OID);
ALTER TABLE CCFMeasureOps ADD FOREIGN KEY (Component) REFERENCES Components (OID);
ALTER TABLE CatConditionOps ADD FOREIGN KEY (CatCondition) REFERENCES CatConditions (OID);
ALTER TABLE CatConditionOps ADD FOREIGN KEY (Component) REFERENCES Components (OID);
ALTER TABLE PLConditionOps ADD FOREIGN KEY (PLCondition) REFERENCES PLConditions (OID);
ALTER TABLE PLConditionOps ADD FOREIGN KEY (Component) REFERENCES Components (OID);

/*COMMIT;*/
