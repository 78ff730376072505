-- The event server's SQLite database. Runs at every open of the file: creates
-- what is missing and renews the procedures' triggers.
--
-- Each stored procedure is a view with an INSTEAD OF INSERT trigger, so its
-- body lives here, as it would in a database server. Calling one by hand:
--   INSERT INTO event_update (device_name, event_type_id) VALUES ('X7', 6);
--   INSERT INTO gps_add (device_name, latitude, longitude, speed, course, gps_info)
--       VALUES ('X7', 25.052057, 121.676130, 18, 90, '$GPRMC,...');
-- received_at defaults to now; times are UTC text 'YYYY-MM-DD HH:MM:SS.SSS'.
-- statement_id: a statement whose id is already stored is ignored, so a
-- statement retried after a lost connection is applied once.

CREATE TABLE IF NOT EXISTS devices (
    device_name        TEXT PRIMARY KEY NOT NULL,
    online             INTEGER NOT NULL DEFAULT 0,
    last_event_type_id INTEGER,
    last_event_at      TEXT,
    latitude           REAL,
    longitude          REAL,
    speed              INTEGER,
    course             INTEGER,
    gps_info           TEXT,
    last_fix_at        TEXT
) STRICT;

CREATE TABLE IF NOT EXISTS device_events (
    id            INTEGER PRIMARY KEY,
    device_name   TEXT NOT NULL,
    event_type_id INTEGER NOT NULL,
    received_at   TEXT NOT NULL,
    statement_id  TEXT UNIQUE
) STRICT;
CREATE INDEX IF NOT EXISTS device_events_device_time ON device_events (device_name, received_at);

-- latitude and longitude are NULL for a fix without a sentence: nothing
-- readable came, and 0, 0 would be a place no vehicle reported.
CREATE TABLE IF NOT EXISTS gps_fixes (
    id           INTEGER PRIMARY KEY,
    device_name  TEXT NOT NULL,
    latitude     REAL,
    longitude    REAL,
    speed        INTEGER NOT NULL,
    course       INTEGER NOT NULL,
    gps_info     TEXT NOT NULL,
    received_at  TEXT NOT NULL,
    statement_id TEXT UNIQUE
) STRICT;
CREATE INDEX IF NOT EXISTS gps_fixes_device_time ON gps_fixes (device_name, received_at);
-- EventServer_FixRetentionDays deletes the oldest fixes in small batches.
CREATE INDEX IF NOT EXISTS gps_fixes_received_at ON gps_fixes (received_at);

-- EVENT_UPDATE(DeviceName, EventTypeID[, ReceivedAt]): appends an event; event
-- type 6 marks the device online, 7 offline. The devices row only moves
-- forward in received time, so an event that arrives late (from another
-- event server, or replayed) cannot undo a newer state. The trigger is
-- renewed at each open, so a file made by an earlier version, where the last
-- arrival won, gets this body.
CREATE VIEW IF NOT EXISTS event_update AS
    SELECT NULL AS device_name, NULL AS event_type_id, NULL AS received_at, NULL AS statement_id
    WHERE 0;

DROP TRIGGER IF EXISTS event_update_call;
CREATE TRIGGER event_update_call INSTEAD OF INSERT ON event_update
BEGIN
    SELECT RAISE(IGNORE)
     WHERE NEW.statement_id IS NOT NULL
       AND EXISTS (SELECT 1 FROM device_events WHERE statement_id = NEW.statement_id);
    INSERT INTO device_events (device_name, event_type_id, received_at, statement_id)
        VALUES (NEW.device_name, NEW.event_type_id,
                coalesce(NEW.received_at, strftime('%Y-%m-%d %H:%M:%f', 'now')),
                NEW.statement_id);
    INSERT OR IGNORE INTO devices (device_name) VALUES (NEW.device_name);
    UPDATE devices
       SET online = CASE NEW.event_type_id WHEN 6 THEN 1 WHEN 7 THEN 0 ELSE online END,
           last_event_type_id = NEW.event_type_id,
           last_event_at = coalesce(NEW.received_at, strftime('%Y-%m-%d %H:%M:%f', 'now'))
     WHERE device_name = NEW.device_name
       AND (last_event_at IS NULL
            OR last_event_at <= coalesce(NEW.received_at, strftime('%Y-%m-%d %H:%M:%f', 'now')));
END;

-- GPS_ADD(DeviceName, Latitude, Longitude, Speed, Course, GPSInfo[, ReceivedAt]):
-- appends a fix; a fix with a sentence becomes the device's last position. A
-- fix without one (the device sent nothing readable, and the statement says
-- 0, 0) is kept in gps_fixes with no coordinates and leaves the last real
-- position alone.
CREATE VIEW IF NOT EXISTS gps_add AS
    SELECT NULL AS device_name, NULL AS latitude, NULL AS longitude, NULL AS speed,
           NULL AS course, NULL AS gps_info, NULL AS received_at, NULL AS statement_id
    WHERE 0;

-- Files made by earlier versions carry gps_add_call, which let every fix
-- overwrite the last position, or a gps_add_apply that stored 0, 0 for a fix
-- without a sentence, or let a late fix move the last position back; the one
-- below takes their place. It is renewed at each open.
DROP TRIGGER IF EXISTS gps_add_call;
DROP TRIGGER IF EXISTS gps_add_apply;
CREATE TRIGGER gps_add_apply INSTEAD OF INSERT ON gps_add
BEGIN
    SELECT RAISE(IGNORE)
     WHERE NEW.statement_id IS NOT NULL
       AND EXISTS (SELECT 1 FROM gps_fixes WHERE statement_id = NEW.statement_id);
    INSERT INTO gps_fixes (device_name, latitude, longitude, speed, course, gps_info,
                           received_at, statement_id)
        VALUES (NEW.device_name,
                CASE WHEN coalesce(NEW.gps_info, '') = '' THEN NULL ELSE NEW.latitude END,
                CASE WHEN coalesce(NEW.gps_info, '') = '' THEN NULL ELSE NEW.longitude END,
                NEW.speed, NEW.course,
                NEW.gps_info, coalesce(NEW.received_at, strftime('%Y-%m-%d %H:%M:%f', 'now')),
                NEW.statement_id);
    INSERT OR IGNORE INTO devices (device_name) VALUES (NEW.device_name);
    UPDATE devices
       SET latitude = NEW.latitude,
           longitude = NEW.longitude,
           speed = NEW.speed,
           course = NEW.course,
           gps_info = NEW.gps_info,
           last_fix_at = coalesce(NEW.received_at, strftime('%Y-%m-%d %H:%M:%f', 'now'))
     WHERE device_name = NEW.device_name
       AND coalesce(NEW.gps_info, '') <> ''
       AND (last_fix_at IS NULL
            OR last_fix_at <= coalesce(NEW.received_at, strftime('%Y-%m-%d %H:%M:%f', 'now')));
END;
