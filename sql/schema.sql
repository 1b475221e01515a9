-- Tables of the TARN Water Ingest Service: clients (upserted by node_id),
-- readings and events (appended).
--
-- Apply to an existing utf8mb4 database, e.g.
--   mariadb -u root -p -e 'CREATE DATABASE tarn_water CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci'
--   mariadb -u root -p tarn_water < sql/schema.sql
-- Every statement is safe to run again on a database that already has the
-- tables. Each table states its character set itself, because a server's
-- default may be latin1. Statements end with ";" at the end of a line.

-- Radio client nodes the gateway has heard. first_seen is written when a node
-- is new and kept by every later upsert.
CREATE TABLE IF NOT EXISTS clients (
    node_id       INT UNSIGNED NOT NULL,
    chip          VARCHAR(64) NOT NULL,
    fw_version    VARCHAR(64) NOT NULL,
    first_seen    DATETIME NOT NULL,
    last_seen     DATETIME NOT NULL,
    last_rssi_dbm DOUBLE NULL,
    last_lqi      INT UNSIGNED NULL,
    PRIMARY KEY (node_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Meter readings, one row per reading in a batch. volume_gal is in gallons:
-- the gateway sends tenths of a gallon (whole gallons for protocol 223), and
-- the service divides (see docs/batch-format.md).
CREATE TABLE IF NOT EXISTS readings (
    id                  BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
    node_id             INT UNSIGNED NOT NULL,
    meter_id            INT UNSIGNED NOT NULL,
    protocol            INT UNSIGNED NOT NULL,
    volume_gal          DOUBLE NOT NULL,
    flow_gpm            DOUBLE NULL,
    freq_hz             INT UNSIGNED NULL,
    rssi_dbm            DOUBLE NULL,
    gateway_received_at DATETIME NOT NULL,
    PRIMARY KEY (id),
    KEY readings_meter_time (meter_id, gateway_received_at),
    KEY readings_node_time (node_id, gateway_received_at),
    KEY readings_time (gateway_received_at)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Gateway events; payload_json holds the event's payload as compact JSON text.
CREATE TABLE IF NOT EXISTS events (
    id                  BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
    node_id             INT UNSIGNED NULL,
    event_type          VARCHAR(128) NOT NULL,
    payload_json        LONGTEXT NULL,
    gateway_received_at DATETIME NOT NULL,
    PRIMARY KEY (id),
    KEY events_time (gateway_received_at),
    KEY events_type_time (event_type, gateway_received_at),
    KEY events_node_time (node_id, gateway_received_at)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;
