-- Tables of a Tarnwick Server 3 installation on PostgreSQL.
-- Run statement by statement; each ends with ";" at the end of a line.

-- The application's settings table: one value per user, section and key.
CREATE TABLE tw3_registry (
  reg_user VARCHAR(50) NOT NULL,
  reg_section VARCHAR(100) NOT NULL,
  reg_key VARCHAR(100) NOT NULL,
  reg_value VARCHAR(2000),
  PRIMARY KEY (reg_user, reg_section, reg_key)
);

-- Local.GetUniqueID and Server.GetUniqueID keep their counters here unless a script names
-- another table (rows 'System', 'UniqueID', <table name>).
CREATE TABLE QV30_REGISTRY (
  REG_USER VARCHAR(50) NOT NULL,
  REG_SECTION VARCHAR(100) NOT NULL,
  REG_KEY VARCHAR(100) NOT NULL,
  REG_VALUE VARCHAR(2000),
  PRIMARY KEY (REG_USER, REG_SECTION, REG_KEY)
);
