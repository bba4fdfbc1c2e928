-- The operator's ledger: every kiosk's money journal in one PostgreSQL
-- database.  Version 1.  `notavero-serve ledger init` applies it once, in one
-- transaction, and records the version in ledger_schema; a later version
-- comes as schema-2.sql with the changes from 1 to 2 only.
--
-- Amounts are in 1/10000 currency units, as in the kiosks' journals (the
-- views show currency units).  Times are the kiosk's clock.

CREATE TABLE ledger_schema (
  version integer PRIMARY KEY,
  applied_at timestamptz NOT NULL DEFAULT now()
);

-- Every journal row of every kiosk, one partition a month (old months can
-- be detached and archived).  A kiosk ships its rows in journal order; a row
-- shipped again is ignored by the unique key.  The key holds the row's time
-- because a partitioned table's keys must: a row shipped again has the same
-- time, so (kiosk, device, journal_id) alone decides.
CREATE TABLE events (
  kiosk text NOT NULL,
  device text NOT NULL,
  journal_id bigint NOT NULL,
  time timestamptz NOT NULL,
  kind text NOT NULL,
  amount bigint NOT NULL DEFAULT 0,
  bill_type integer NOT NULL DEFAULT 0,
  decision text,
  detail text,
  shipped_at timestamptz NOT NULL DEFAULT now(),
  UNIQUE (kiosk, device, journal_id, time)
) PARTITION BY RANGE (time);

CREATE INDEX events_kind_time ON events (kind, time);

-- What the ledger holds of each kiosk: every journal row up to journal_id.
-- The kiosk moves it in the transaction that inserts the rows.
CREATE TABLE kiosk_cursor (
  kiosk text PRIMARY KEY,
  journal_id bigint NOT NULL DEFAULT 0,
  updated_at timestamptz NOT NULL DEFAULT now()
);

-- The month's partition of events, made when the first row of a month comes
-- (the kiosks call it; they need no right to create tables).
CREATE FUNCTION ledger_add_month(moment timestamptz) RETURNS text
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, public AS $$
DECLARE
  month_start timestamptz := date_trunc('month', moment AT TIME ZONE 'UTC') AT TIME ZONE 'UTC';
  part_name text := 'events_' || to_char(month_start AT TIME ZONE 'UTC', 'YYYY_MM');
BEGIN
  IF to_regclass('public.' || part_name) IS NULL THEN
    EXECUTE format('CREATE TABLE public.%I PARTITION OF public.events FOR VALUES FROM (%L) TO (%L)',
                   part_name, month_start, month_start + interval '1 month');
  END IF;
  RETURN part_name;
EXCEPTION WHEN duplicate_table THEN
  RETURN part_name;  -- another kiosk made it at the same moment
END $$;

SELECT ledger_add_month(now() - interval '1 month');
SELECT ledger_add_month(now());
SELECT ledger_add_month(now() + interval '1 month');

-- Money taken: stacked bills (a bill the device reported again after a
-- restart is journaled as "repeat" and is not money twice).
CREATE VIEW money_per_kiosk_day AS
SELECT kiosk, (time AT TIME ZONE 'UTC')::date AS day, count(*) AS bills, sum(amount) / 10000.0 AS amount
FROM events WHERE kind = 'stacked'
GROUP BY kiosk, day;

CREATE VIEW money_per_device AS
SELECT kiosk, device, count(*) AS bills, sum(amount) / 10000.0 AS amount, min(time) AS first, max(time) AS last
FROM events WHERE kind = 'stacked'
GROUP BY kiosk, device;

-- A cassette's content, journaled by the kiosk when the cassette was taken
-- out: its bills by value, their sum, the unconfirmed bills beside them.
CREATE VIEW cassettes AS
SELECT kiosk, device, journal_id,
       to_timestamp(((detail::jsonb) ->> 'inserted_ms')::bigint / 1000.0) AS inserted_at,
       time AS removed_at,
       bill_type AS bills,
       amount / 10000.0 AS amount,
       (detail::jsonb) -> 'by_value' AS by_value,
       ((detail::jsonb) ->> 'unconfirmed')::bigint AS unconfirmed,
       ((detail::jsonb) ->> 'unconfirmed_amount')::bigint / 10000.0 AS unconfirmed_amount
FROM events WHERE kind = 'collection';

-- Bills sent to the stacker whose outcome the device never reported: each
-- is to be reconciled with its cassette's count.
CREATE VIEW unconfirmed_bills AS
SELECT kiosk, device, journal_id, time, bill_type, amount / 10000.0 AS amount, detail
FROM events WHERE kind = 'unconfirmed';

INSERT INTO ledger_schema(version) VALUES (1);
