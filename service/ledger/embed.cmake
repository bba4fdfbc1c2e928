# Writes OUT: the ledger's schema files (FILES, in version order) as C++
# string literals, so that `notavero-serve ledger init` carries them.
set(text "// Generated from service/ledger/schema-*.sql by service/ledger/embed.cmake.\nnamespace notavero::service {\nextern const char* const kLedgerSchema[];\nextern const int kLedgerSchemaVersions;\nconst char* const kLedgerSchema[] = {\n")
set(count 0)
foreach(file IN LISTS FILES)
  file(READ "${file}" sql)
  string(APPEND text "R\"ledger(${sql})ledger\",\n")
  math(EXPR count "${count} + 1")
endforeach()
string(APPEND text "};\nconst int kLedgerSchemaVersions = ${count};\n}  // namespace notavero::service\n")
file(WRITE "${OUT}.tmp" "${text}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
