-- Version 2, the changes from 1: no row waits for a partition, and each
-- kiosk's role reads and writes only its own kiosk's rows.
--
-- Needs PostgreSQL 15 (views that run with the caller's rights) and the two
-- groups notavero_kiosk and notavero_accountant: `notavero-serve ledger init`
-- makes them before it applies this file, or says what to run when it may
-- not make roles.

-- A row of a month without a partition of its own (a new month before the
-- maintenance has made it, or a month whose partition was detached to be
-- archived) lands here.  `notavero-serve ledger maintain`, run by the owner,
-- moves such rows into their month's partition and makes the next months'.
-- The kiosks make no partitions any more.
CREATE TABLE events_default PARTITION OF events DEFAULT;

DROP FUNCTION ledger_add_month(timestamptz);

-- One month's partition, with the rows of that month the default partition
-- holds.  Returns the rows moved; NULL when the month has its partition
-- already; -1 when a table of that name exists but is not a partition of
-- events (a detached month: its late rows stay in events_default, where
-- every report still sees them).  The caller holds events_default locked.
CREATE FUNCTION ledger_move_month(month_start timestamptz) RETURNS bigint
LANGUAGE plpgsql SET search_path = pg_catalog, public SET timezone = 'UTC' AS $$
DECLARE
  first timestamptz := date_trunc('month', month_start);
  next timestamptz := date_trunc('month', month_start) + interval '1 month';
  part_name text := 'events_' || to_char(date_trunc('month', month_start), 'YYYY_MM');
  moved bigint;
BEGIN
  IF to_regclass('public.' || part_name) IS NOT NULL THEN
    IF EXISTS (SELECT 1 FROM pg_inherits
               WHERE inhrelid = to_regclass('public.' || part_name) AND inhparent = 'public.events'::regclass) THEN
      RETURN NULL;
    END IF;
    RETURN -1;
  END IF;
  EXECUTE format('CREATE TABLE public.%I (LIKE public.events INCLUDING DEFAULTS INCLUDING CONSTRAINTS)', part_name);
  EXECUTE format('WITH moved AS (DELETE FROM public.events_default WHERE time >= %L AND time < %L RETURNING *) '
                 'INSERT INTO public.%I SELECT * FROM moved', first, next, part_name);
  GET DIAGNOSTICS moved = ROW_COUNT;
  EXECUTE format('ALTER TABLE public.events ATTACH PARTITION public.%I FOR VALUES FROM (%L) TO (%L)',
                 part_name, first, next);
  RETURN moved;
END $$;

-- The maintenance, in one transaction: every month the default partition
-- holds rows of, and this month and the next months_ahead.  One row a month
-- it did something for: made (with the rows it moved) or detached (with the
-- rows that stay in events_default).  Kiosks that ship rows of a month
-- without a partition meanwhile wait for it (their rows go to the default
-- partition, locked here); their other rows do not.
CREATE FUNCTION ledger_maintain(months_ahead integer DEFAULT 2)
RETURNS TABLE(month_partition text, made boolean, rows_moved bigint)
LANGUAGE plpgsql SET search_path = pg_catalog, public SET timezone = 'UTC' AS $$
DECLARE
  month_start timestamptz;
  moved bigint;
BEGIN
  LOCK TABLE events_default IN SHARE ROW EXCLUSIVE MODE;
  FOR month_start IN
    SELECT DISTINCT date_trunc('month', d.time) FROM events_default d
    UNION
    SELECT date_trunc('month', now()) + n * interval '1 month' FROM generate_series(0, months_ahead) AS n
    ORDER BY 1
  LOOP
    month_partition := 'events_' || to_char(month_start, 'YYYY_MM');
    moved := ledger_move_month(month_start);
    IF moved IS NULL THEN
      CONTINUE;
    END IF;
    made := moved >= 0;
    IF made THEN
      rows_moved := moved;
    ELSE
      SELECT count(*) INTO rows_moved FROM events_default d
      WHERE d.time >= month_start AND d.time < month_start + interval '1 month';
    END IF;
    RETURN NEXT;
  END LOOP;
END $$;

REVOKE EXECUTE ON FUNCTION ledger_move_month(timestamptz), ledger_maintain(integer) FROM PUBLIC;

-- Which kiosk each login role ships as; the owner keeps it (a role ships as
-- one kiosk).  Kiosk roles are members of notavero_kiosk, the accountants'
-- of notavero_accountant.
CREATE TABLE kiosk_roles (
  role_name text PRIMARY KEY,
  kiosk text NOT NULL
);

-- The roles that version 1 told the operator to make, named after their
-- kiosk ids, ship on as before.
INSERT INTO kiosk_roles(role_name, kiosk)
SELECT c.kiosk, c.kiosk FROM kiosk_cursor c JOIN pg_roles r ON r.rolname = c.kiosk
WHERE NOT r.rolsuper
ON CONFLICT DO NOTHING;

-- Row level security: a role sees and writes the rows and the cursor of its
-- own kiosk only; an accountant reads every kiosk's.  The owner is not
-- subject to it.
ALTER TABLE kiosk_roles ENABLE ROW LEVEL SECURITY;
CREATE POLICY own_binding ON kiosk_roles FOR SELECT USING (role_name = current_user);
CREATE POLICY every_binding ON kiosk_roles FOR SELECT TO notavero_accountant USING (true);

ALTER TABLE events ENABLE ROW LEVEL SECURITY;
CREATE POLICY own_kiosk ON events
  USING (kiosk IN (SELECT b.kiosk FROM kiosk_roles b WHERE b.role_name = current_user));
CREATE POLICY every_kiosk ON events FOR SELECT TO notavero_accountant USING (true);

ALTER TABLE kiosk_cursor ENABLE ROW LEVEL SECURITY;
CREATE POLICY own_kiosk ON kiosk_cursor
  USING (kiosk IN (SELECT b.kiosk FROM kiosk_roles b WHERE b.role_name = current_user));
CREATE POLICY every_kiosk ON kiosk_cursor FOR SELECT TO notavero_accountant USING (true);

-- The views run with the caller's rights, so row level security holds in
-- them too.
ALTER VIEW money_per_kiosk_day SET (security_invoker = true);
ALTER VIEW money_per_device SET (security_invoker = true);
ALTER VIEW cassettes SET (security_invoker = true);
ALTER VIEW unconfirmed_bills SET (security_invoker = true);

GRANT SELECT ON kiosk_roles TO PUBLIC;
GRANT SELECT, INSERT ON events TO notavero_kiosk;
-- A kiosk's role sees its own kiosk in the views (they run with its rights).
GRANT SELECT ON money_per_kiosk_day, money_per_device, cassettes, unconfirmed_bills TO notavero_kiosk;
GRANT SELECT, INSERT ON kiosk_cursor TO notavero_kiosk;
GRANT UPDATE (journal_id, updated_at) ON kiosk_cursor TO notavero_kiosk;
GRANT SELECT ON events, kiosk_cursor, money_per_kiosk_day, money_per_device, cassettes, unconfirmed_bills
  TO notavero_accountant;

-- The months around now have their partitions from the start.
SELECT ledger_maintain(1);

INSERT INTO ledger_schema(version) VALUES (2);
