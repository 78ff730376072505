-- The event server's SQL Server database: tables and the two procedures, for a
-- site that has none of its own. Needs SQL Server 2016 SP1 or later. Install it
-- once into the database the connection string names, e.g. with sqlcmd:
--   sqlcmd -S HOST -U sa -d VardoPlatform -b -i sqlserver.sql
-- Running it again keeps the tables and their rows and renews the procedures.
--
-- Calling the procedures by hand (the received time defaults to now, in UTC):
--   EXEC EVENT_UPDATE @DeviceName = N'X7', @EventTypeID = 6;
--   EXEC GPS_ADD N'X7', 25.052057, 121.676130, 18, 90, N'$GPRMC,...';
-- Each answers with one row, "applied": 1, or 0 when a statement with the same
-- @StatementID was stored before, so a statement sent again after a lost
-- connection is applied once. A call without an id gets a fresh one.
--
-- Device names of any length are compared exactly (case and trailing blanks
-- count): rows are keyed by the SHA-256 of the name, not by the name under the
-- database's collation. Times are UTC.

SET ANSI_NULLS ON;
SET QUOTED_IDENTIFIER ON;
SET NOCOUNT ON;
GO

IF OBJECT_ID(N'dbo.devices', N'U') IS NULL
    CREATE TABLE dbo.devices (
        device_key         binary(32)    NOT NULL,
        device_name        nvarchar(max) NOT NULL,
        online             int           NOT NULL CONSTRAINT devices_online_default DEFAULT 0,
        last_event_type_id int           NULL,
        last_event_at      datetime2(3)  NULL,
        latitude           float         NULL,
        longitude          float         NULL,
        speed              int           NULL,
        course             int           NULL,
        gps_info           nvarchar(max) NULL,
        last_fix_at        datetime2(3)  NULL,
        CONSTRAINT devices_pkey PRIMARY KEY (device_key)
    );

IF OBJECT_ID(N'dbo.device_events', N'U') IS NULL
    CREATE TABLE dbo.device_events (
        id            bigint IDENTITY(1, 1) NOT NULL CONSTRAINT device_events_pkey PRIMARY KEY,
        device_key    binary(32)       NOT NULL,
        device_name   nvarchar(max)    NOT NULL,
        event_type_id int              NOT NULL,
        received_at   datetime2(3)     NOT NULL,
        statement_id  uniqueidentifier NOT NULL
            CONSTRAINT device_events_statement_id_key UNIQUE
    );

IF NOT EXISTS (SELECT 1 FROM sys.indexes
               WHERE name = N'device_events_device_time'
                 AND object_id = OBJECT_ID(N'dbo.device_events'))
    CREATE INDEX device_events_device_time ON dbo.device_events (device_key, received_at);

IF OBJECT_ID(N'dbo.gps_fixes', N'U') IS NULL
    CREATE TABLE dbo.gps_fixes (
        id           bigint IDENTITY(1, 1) NOT NULL CONSTRAINT gps_fixes_pkey PRIMARY KEY,
        device_key   binary(32)       NOT NULL,
        device_name  nvarchar(max)    NOT NULL,
        latitude     float            NOT NULL,
        longitude    float            NOT NULL,
        speed        int              NOT NULL,
        course       int              NOT NULL,
        gps_info     nvarchar(max)    NOT NULL,
        received_at  datetime2(3)     NOT NULL,
        statement_id uniqueidentifier NOT NULL
            CONSTRAINT gps_fixes_statement_id_key UNIQUE
    );

IF NOT EXISTS (SELECT 1 FROM sys.indexes
               WHERE name = N'gps_fixes_device_time'
                 AND object_id = OBJECT_ID(N'dbo.gps_fixes'))
    CREATE INDEX gps_fixes_device_time ON dbo.gps_fixes (device_key, received_at);
GO

-- EVENT_UPDATE(DeviceName, EventTypeID[, ReceivedAt, StatementID]): appends an
-- event; event type 6 marks the device online, 7 offline, others leave the flag.
CREATE OR ALTER PROCEDURE dbo.EVENT_UPDATE
    @DeviceName nvarchar(max),
    @EventTypeID int,
    @ReceivedAt datetime2(3) = NULL,
    @StatementID uniqueidentifier = NULL
AS
BEGIN
    SET NOCOUNT ON;
    SET XACT_ABORT ON;  -- a failed or cancelled call leaves nothing half done
    DECLARE @stamp datetime2(3) = COALESCE(@ReceivedAt, SYSUTCDATETIME());
    DECLARE @key binary(32) = HASHBYTES('SHA2_256', @DeviceName);
    DECLARE @id uniqueidentifier = COALESCE(@StatementID, NEWID());

    BEGIN TRANSACTION;
    IF EXISTS (SELECT 1 FROM dbo.device_events WITH (UPDLOCK, HOLDLOCK) WHERE statement_id = @id)
    BEGIN
        COMMIT TRANSACTION;
        SELECT CAST(0 AS int) AS applied;
        RETURN;
    END;

    INSERT INTO dbo.device_events (device_key, device_name, event_type_id, received_at,
                                   statement_id)
    VALUES (@key, @DeviceName, @EventTypeID, @stamp, @id);

    UPDATE dbo.devices WITH (UPDLOCK, HOLDLOCK)
       SET online = CASE @EventTypeID WHEN 6 THEN 1 WHEN 7 THEN 0 ELSE online END,
           last_event_type_id = @EventTypeID,
           last_event_at = @stamp
     WHERE device_key = @key;
    IF @@ROWCOUNT = 0
        INSERT INTO dbo.devices (device_key, device_name, online, last_event_type_id,
                                 last_event_at)
        VALUES (@key, @DeviceName, CASE @EventTypeID WHEN 6 THEN 1 ELSE 0 END, @EventTypeID,
                @stamp);
    COMMIT TRANSACTION;
    SELECT CAST(1 AS int) AS applied;
END;
GO

-- GPS_ADD(DeviceName, Latitude, Longitude, Speed, Course, GPSInfo[, ReceivedAt,
-- StatementID]): appends a fix; a fix with a sentence becomes the device's last
-- position, one without (the statement says 0, 0) leaves the last real
-- position alone. Speed in km/h and course in degrees are whole numbers.
CREATE OR ALTER PROCEDURE dbo.GPS_ADD
    @DeviceName nvarchar(max),
    @Latitude float,
    @Longitude float,
    @Speed int,
    @Course int,
    @GPSInfo nvarchar(max),
    @ReceivedAt datetime2(3) = NULL,
    @StatementID uniqueidentifier = NULL
AS
BEGIN
    SET NOCOUNT ON;
    SET XACT_ABORT ON;
    DECLARE @stamp datetime2(3) = COALESCE(@ReceivedAt, SYSUTCDATETIME());
    DECLARE @key binary(32) = HASHBYTES('SHA2_256', @DeviceName);
    DECLARE @id uniqueidentifier = COALESCE(@StatementID, NEWID());

    BEGIN TRANSACTION;
    IF EXISTS (SELECT 1 FROM dbo.gps_fixes WITH (UPDLOCK, HOLDLOCK) WHERE statement_id = @id)
    BEGIN
        COMMIT TRANSACTION;
        SELECT CAST(0 AS int) AS applied;
        RETURN;
    END;

    INSERT INTO dbo.gps_fixes (device_key, device_name, latitude, longitude, speed, course,
                               gps_info, received_at, statement_id)
    VALUES (@key, @DeviceName, @Latitude, @Longitude, @Speed, @Course, @GPSInfo, @stamp, @id);

    IF DATALENGTH(@GPSInfo) > 0
    BEGIN
        UPDATE dbo.devices WITH (UPDLOCK, HOLDLOCK)
           SET latitude = @Latitude,
               longitude = @Longitude,
               speed = @Speed,
               course = @Course,
               gps_info = @GPSInfo,
               last_fix_at = @stamp
         WHERE device_key = @key;
        IF @@ROWCOUNT = 0
            INSERT INTO dbo.devices (device_key, device_name, latitude, longitude, speed,
                                     course, gps_info, last_fix_at)
            VALUES (@key, @DeviceName, @Latitude, @Longitude, @Speed, @Course, @GPSInfo,
                    @stamp);
    END
    ELSE IF NOT EXISTS (SELECT 1 FROM dbo.devices WITH (UPDLOCK, HOLDLOCK)
                        WHERE device_key = @key)
        -- No sentence, no position (the statement says 0, 0): the fix is kept
        -- above, the device's last real position stays.
        INSERT INTO dbo.devices (device_key, device_name) VALUES (@key, @DeviceName);
    COMMIT TRANSACTION;
    SELECT CAST(1 AS int) AS applied;
END;
GO
