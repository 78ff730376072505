-- The registry that centers behind one load balancer share: terminals and
-- their authentication codes, the phones allowed to register, and which
-- center each phone last logged in on. vardo-center --registry creates it
-- when missing; psql -f installs it as well. Every statement may run again.
--
-- Times are Unix seconds (milliseconds where the name says so), as the
-- center's own SQLite registry keeps them.

CREATE TABLE IF NOT EXISTS center_terminals (
    phone          text PRIMARY KEY,  -- the BCD digits as sent, leading zeros kept
    auth_code      text NOT NULL,     -- empty once an operator released the phone
    plate          text NOT NULL DEFAULT '',
    plate_colour   integer NOT NULL DEFAULT 0,
    province       integer NOT NULL DEFAULT 0,
    city           integer NOT NULL DEFAULT 0,
    maker_id       text NOT NULL DEFAULT '',
    model          text NOT NULL DEFAULT '',
    terminal_id    text NOT NULL DEFAULT '',
    driver         text NOT NULL DEFAULT '',
    first_seen     bigint NOT NULL,
    last_seen      bigint NOT NULL,
    released_until bigint NOT NULL DEFAULT 0
);
-- An operator names a phone without the zeros a terminal pads it with.
CREATE INDEX IF NOT EXISTS center_terminals_digits ON center_terminals (ltrim(phone, '0'));

-- The phones that may register when registration is not open to all; one a
-- row, leading zeros do not count:
--   INSERT INTO center_allowed_terminals VALUES ('13912344329');
CREATE TABLE IF NOT EXISTS center_allowed_terminals (
    phone text PRIMARY KEY CHECK (phone ~ '^[0-9]+$')
);
CREATE INDEX IF NOT EXISTS center_allowed_terminals_digits
    ON center_allowed_terminals (ltrim(phone, '0'));

-- Which center serves each phone: a login claims the row and tells the other
-- centers on the channel center_terminal_claims ("PHONE GENERATION MS CENTER"),
-- and the center that served the phone before closes its connection.
CREATE SEQUENCE IF NOT EXISTS center_lease_generation;
CREATE TABLE IF NOT EXISTS center_terminal_leases (
    phone         text PRIMARY KEY,
    center_id     text NOT NULL,
    generation    bigint NOT NULL,  -- the later login has the higher one
    claimed_at_ms bigint NOT NULL   -- the claiming center's clock
);
