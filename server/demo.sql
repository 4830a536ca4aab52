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
