-- The demonstration database of rdaserver:
--   rdaserver --port 9406 --init server/demo.sql
-- It holds what the install utility reads from a company's data server
-- (SY_MASTR, SYMASTER) and from the directory data server (VNXHOSTS), so
-- one script serves both roles. Running it again resets the tables.

DROP TABLE IF EXISTS "SY_MASTR";
CREATE TABLE "SY_MASTR" (
  "Comp_Name"      VARCHAR(35) NOT NULL,
  "Version Number" VARCHAR(8)  NOT NULL
);
INSERT INTO "SY_MASTR" ("Comp_Name", "Version Number") VALUES ('Demo Company Ltd', '6.251');

DROP TABLE IF EXISTS "SYMASTER";
CREATE TABLE "SYMASTER" (
  "CompanyCode"   VARCHAR(10) NOT NULL PRIMARY KEY,
  "CompanyName"   VARCHAR(35) NOT NULL,
  "VersionNumber" VARCHAR(8)  NOT NULL
);
INSERT INTO "SYMASTER" ("CompanyCode", "CompanyName", "VersionNumber")
  VALUES ('DEMO', 'Demo Company Ltd', '6.251');

-- The directory: where each company's data server is. Loopback addresses
-- only, so that the demonstration never leaves this machine.
DROP TABLE IF EXISTS "VNXHOSTS";
CREATE TABLE "VNXHOSTS" (
  "XCompanyCode"  VARCHAR(10) NOT NULL PRIMARY KEY,
  "XHost"         VARCHAR(64) NOT NULL,
  "XPort"         INTEGER     NOT NULL,
  "XLANIPAddress" VARCHAR(64) NOT NULL
);
INSERT INTO "VNXHOSTS" ("XCompanyCode", "XHost", "XPort", "XLANIPAddress") VALUES
  ('DEMO', '127.0.0.1', 9406, '127.0.0.1'),
  ('ACME', '127.0.0.1', 9407, '127.0.0.1');

-- Contacts of the companies in the directory: a foreign key, an index, a
-- trigger and a view, for the metadata requests.
DROP VIEW IF EXISTS "VNXDIRECTORY";
DROP TABLE IF EXISTS "VNXCONTACTS";
CREATE TABLE "VNXCONTACTS" (
  "ContactId"    INTEGER     NOT NULL PRIMARY KEY,
  "XCompanyCode" VARCHAR(10) NOT NULL REFERENCES "VNXHOSTS" ("XCompanyCode") ON DELETE CASCADE,
  "ContactName"  VARCHAR(35) NOT NULL,
  "Phone"        VARCHAR(20),
  "Changed"      DATETIME
);
CREATE INDEX "VNXCONTACTS_COMPANY" ON "VNXCONTACTS" ("XCompanyCode", "ContactName");
CREATE TRIGGER "VNXCONTACTS_CHANGED" AFTER UPDATE ON "VNXCONTACTS"
  BEGIN UPDATE "VNXCONTACTS" SET "Changed" = datetime('now') WHERE "ContactId" = NEW."ContactId"; END;
CREATE VIEW "VNXDIRECTORY" AS
  SELECT h."XCompanyCode", h."XHost", h."XPort", c."ContactName"
  FROM "VNXHOSTS" h LEFT JOIN "VNXCONTACTS" c ON c."XCompanyCode" = h."XCompanyCode";
INSERT INTO "VNXCONTACTS" ("ContactId", "XCompanyCode", "ContactName", "Phone") VALUES
  (1, 'DEMO', 'Dana Demo', '555-0100'),
  (2, 'ACME', 'Arthur Acme', NULL);

-- The stored procedures, server methods and providers of the demonstration
-- (docs/server.md describes these tables). The server makes them empty when
-- a database lacks them.
DROP TABLE IF EXISTS "RdaProcedures";
DROP TABLE IF EXISTS "RdaMethods";
DROP TABLE IF EXISTS "RdaProviders";
DROP TABLE IF EXISTS "RdaParams";
CREATE TABLE "RdaProcedures" (
  "Name" TEXT NOT NULL PRIMARY KEY COLLATE NOCASE, "SQL" TEXT NOT NULL, "Description" TEXT);
CREATE TABLE "RdaMethods" (
  "Name" TEXT NOT NULL PRIMARY KEY COLLATE NOCASE, "SQL" TEXT NOT NULL, "KeyFields" TEXT,
  "Description" TEXT);
CREATE TABLE "RdaProviders" (
  "Name" TEXT NOT NULL PRIMARY KEY COLLATE NOCASE, "SQL" TEXT NOT NULL, "UpdateTable" TEXT,
  "KeyFields" TEXT, "Description" TEXT);
CREATE TABLE "RdaParams" (
  "Kind" TEXT NOT NULL CHECK ("Kind" IN ('procedure', 'method', 'provider')),
  "Owner" TEXT NOT NULL COLLATE NOCASE, "Position" INTEGER NOT NULL, "Name" TEXT NOT NULL,
  "ParamType" INTEGER NOT NULL DEFAULT 1, "DataType" INTEGER NOT NULL DEFAULT 1,
  PRIMARY KEY ("Kind", "Owner", "Position"));

-- CompanyHost: the host of one company; HostCount (output) counts the directory.
INSERT INTO "RdaProcedures" VALUES ('CompanyHost',
  'SELECT "XHost", "XPort", (SELECT COUNT(*) FROM "VNXHOSTS") AS "HostCount"
   FROM "VNXHOSTS" WHERE "XCompanyCode" = :Code',
  'The host of one company and the number of companies');
-- Directory.PortsFrom: the companies listening on MinPort or above; Found
-- (output) is how many there are.
INSERT INTO "RdaMethods" VALUES ('Directory.PortsFrom',
  'SELECT "XCompanyCode", "XHost", "XPort", COUNT(*) OVER () AS "Found"
   FROM "VNXHOSTS" WHERE "XPort" >= :MinPort ORDER BY "XCompanyCode"',
  'XCompanyCode', 'Companies by port');
-- Hosts: the directory's hosts whose company code is like Pattern.
INSERT INTO "RdaProviders" VALUES ('Hosts',
  'SELECT * FROM "VNXHOSTS" WHERE "XCompanyCode" LIKE :Pattern ORDER BY "XCompanyCode"',
  'VNXHOSTS', 'XCompanyCode', 'The directory, by company code');
INSERT INTO "RdaParams" VALUES
  ('procedure', 'CompanyHost', 1, 'Code', 1, 1),
  ('procedure', 'CompanyHost', 2, 'HostCount', 2, 3),
  ('method', 'Directory.PortsFrom', 1, 'MinPort', 1, 3),
  ('method', 'Directory.PortsFrom', 2, 'Found', 2, 3),
  ('provider', 'Hosts', 1, 'Pattern', 1, 1);
