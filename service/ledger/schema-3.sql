-- Version 3, the changes from 2: rows and cursors are kept per kiosk
-- journal.  A kiosk's journal has an identity (random, made when it is
-- created) and its rows a hash chain (each row's link is SHA-256 over the
-- link before it and the row's content).  A re-imaged kiosk, a journal
-- restored from a backup and two kiosks given one kiosk id each ship every
-- row once, under a journal of their own, and the ledger shows which.

-- The journal a row belongs to ('' for rows shipped before journals had
-- identities) and its link (NULL for rows that predate the chain).
ALTER TABLE events ADD COLUMN journal text NOT NULL DEFAULT '';
ALTER TABLE events ADD COLUMN link text;

-- A row is its journal's: two journals of one kiosk may both have a row 12.
ALTER TABLE events ADD CONSTRAINT events_journal_row UNIQUE (kiosk, journal, journal_id, time);
DO $$
DECLARE
  old_key name;
BEGIN
  FOR old_key IN SELECT conname FROM pg_constraint
                 WHERE conrelid = 'public.events'::regclass AND contype = 'u' AND conname <> 'events_journal_row'
  LOOP
    EXECUTE format('ALTER TABLE public.events DROP CONSTRAINT %I', old_key);
  END LOOP;
END $$;

-- What the ledger holds of each journal of each kiosk: every row up to
-- journal_id, the last of them with link.  A journal that continues another
-- (the rows of a restored backup after the prefix it shares with what was
-- shipped before; or a journal that was shipped before it had an identity)
-- names it and the last id of it that it shares.  first_time and last_time
-- span its rows: two journals of one kiosk whose rows interleave in time
-- are two live journals under one kiosk id.
CREATE TABLE journal_cursor (
  kiosk text NOT NULL,
  journal text NOT NULL,
  continues text,
  continues_after bigint,
  journal_id bigint NOT NULL DEFAULT 0,
  link text,
  first_time timestamptz,
  last_time timestamptz,
  created_at timestamptz NOT NULL DEFAULT now(),
  updated_at timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (kiosk, journal)
);

-- What kiosks shipped before lives on as their journal ''.
INSERT INTO journal_cursor(kiosk, journal, journal_id, first_time, last_time, updated_at)
SELECT c.kiosk, '', c.journal_id,
       (SELECT min(e.time) FROM events e WHERE e.kiosk = c.kiosk AND e.journal = ''),
       (SELECT max(e.time) FROM events e WHERE e.kiosk = c.kiosk AND e.journal = ''),
       c.updated_at
FROM kiosk_cursor c WHERE c.journal_id > 0;

ALTER TABLE journal_cursor ENABLE ROW LEVEL SECURITY;
CREATE POLICY own_kiosk ON journal_cursor
  USING (kiosk IN (SELECT b.kiosk FROM kiosk_roles b WHERE b.role_name = current_user));
CREATE POLICY every_kiosk ON journal_cursor FOR SELECT TO notavero_accountant USING (true);

-- The first row of a batch that does not fit its journal's chain: its link
-- is not SHA-256 over the link before it and its content (the row, or one
-- before it, was changed after it was written), or the batch does not
-- continue the rows the ledger holds.  NULL when every row fits.  The row
-- before the batch is the cursor's (previous, as the kiosk read it, where
-- the ledger has no link for it).  A row without a link predates the chain;
-- the row after it starts from the chain's start.  An escrow's decision is
-- not in its link (it is set after the row is written).
CREATE FUNCTION ledger_chain_break(k text, j text, after bigint, previous text, ids bigint[], times_ms bigint[],
                                   devices text[], kinds text[], amounts bigint[], codes bigint[],
                                   decisions text[], details text[], links text[])
RETURNS bigint
LANGUAGE plpgsql STABLE SET search_path = pg_catalog, public AS $$
DECLARE
  held text;
  content bytea;
  field text;
  expected text;
BEGIN
  SELECT c.link INTO held FROM journal_cursor c WHERE c.kiosk = k AND c.journal = j AND c.journal_id = after;
  IF held IS NOT NULL AND held IS DISTINCT FROM previous THEN
    RETURN ids[1];
  END IF;
  FOR i IN 1 .. coalesce(array_length(ids, 1), 0) LOOP
    IF links[i] IS NOT NULL THEN
      content := convert_to(coalesce(previous, repeat('0', 64)), 'UTF8');
      FOREACH field IN ARRAY ARRAY[ids[i]::text, times_ms[i]::text, devices[i], kinds[i], amounts[i]::text,
                                   codes[i]::text,
                                   CASE WHEN kinds[i] = 'escrow' THEN '' ELSE coalesce(decisions[i], '') END,
                                   CASE WHEN kinds[i] = 'escrow' THEN '' ELSE coalesce(details[i], '') END]
      LOOP
        content := content || convert_to(octet_length(convert_to(field, 'UTF8'))::text || ':', 'UTF8')
                           || convert_to(field, 'UTF8');
      END LOOP;
      expected := encode(sha256(content), 'hex');
      IF expected <> links[i] THEN
        RETURN ids[i];
      END IF;
    END IF;
    previous := links[i];
  END LOOP;
  RETURN NULL;
END $$;

-- Every journal of every kiosk, with the journals of the same kiosk whose
-- rows interleave with its rows in time (two live journals under one kiosk
-- id: two kiosks given the same id, or a kiosk whose old journal ships on
-- beside a new one).
CREATE VIEW kiosk_journals WITH (security_invoker = true) AS
SELECT c.kiosk, c.journal, c.continues, c.continues_after, c.journal_id AS last_id, c.first_time, c.last_time,
       c.updated_at,
       ARRAY(SELECT o.journal FROM journal_cursor o
             WHERE o.kiosk = c.kiosk AND o.journal <> c.journal
               AND o.first_time <= c.last_time AND c.first_time <= o.last_time
             ORDER BY o.journal) AS live_beside
FROM journal_cursor c;

-- The kiosk ids under which two journals are live at once.
CREATE VIEW kiosks_with_two_live_journals WITH (security_invoker = true) AS
SELECT kiosk, array_agg(journal ORDER BY journal) AS journals
FROM kiosk_journals WHERE cardinality(live_beside) > 0
GROUP BY kiosk;

-- A cassette's and an unconfirmed bill's journal beside its id.
CREATE OR REPLACE VIEW cassettes AS
SELECT kiosk, device, journal_id,
       to_timestamp(((detail::jsonb) ->> 'inserted_ms')::bigint / 1000.0) AS inserted_at,
       time AS removed_at,
       bill_type AS bills,
       amount / 10000.0 AS amount,
       (detail::jsonb) -> 'by_value' AS by_value,
       ((detail::jsonb) ->> 'unconfirmed')::bigint AS unconfirmed,
       ((detail::jsonb) ->> 'unconfirmed_amount')::bigint / 10000.0 AS unconfirmed_amount,
       journal
FROM events WHERE kind = 'collection';
CREATE OR REPLACE VIEW unconfirmed_bills AS
SELECT kiosk, device, journal_id, time, bill_type, amount / 10000.0 AS amount, detail, journal
FROM events WHERE kind = 'unconfirmed';
ALTER VIEW cassettes SET (security_invoker = true);
ALTER VIEW unconfirmed_bills SET (security_invoker = true);

GRANT SELECT, INSERT ON journal_cursor TO notavero_kiosk;
GRANT UPDATE (journal_id, link, first_time, last_time, updated_at) ON journal_cursor TO notavero_kiosk;
GRANT SELECT ON kiosk_journals, kiosks_with_two_live_journals TO notavero_kiosk;
GRANT SELECT ON journal_cursor, kiosk_journals, kiosks_with_two_live_journals TO notavero_accountant;

-- Roles that ship with rights of their own on kiosk_cursor (made as version
-- 1 told the operator, not members of notavero_kiosk) get the same on the
-- journals' cursors: what shipped before ships on.
DO $$
DECLARE
  shipper name;
BEGIN
  FOR shipper IN SELECT DISTINCT g.grantee FROM information_schema.role_table_grants g
                 WHERE g.table_schema = 'public' AND g.table_name = 'kiosk_cursor' AND g.privilege_type = 'UPDATE'
                   AND g.grantee NOT IN ('notavero_kiosk', 'PUBLIC', current_user)
  LOOP
    EXECUTE format('GRANT SELECT, INSERT ON journal_cursor TO %I', shipper);
    EXECUTE format('GRANT UPDATE (journal_id, link, first_time, last_time, updated_at) ON journal_cursor TO %I',
                   shipper);
    EXECUTE format('GRANT SELECT ON kiosk_journals TO %I', shipper);
  END LOOP;
END $$;

INSERT INTO ledger_schema(version) VALUES (3);
