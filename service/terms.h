// The words the journal, the ledger and the clients' JSON share: a row's
// kind, an escrow's decision and who made it.  Inside the service each is
// an enum; its text exists only where a row or a message is written or read
// (SQLite, PostgreSQL, JSON, the fallback file), through TermText and
// ParseTerm, and each word is spelled once, in its list below.  The texts
// are stored: they never change.
//
// A row another program wrote (an older or a newer version of this one, a
// person with the sqlite3 tool) may hold a word this version does not know.
// It is never read as another: Term keeps it as it was, so that the row is
// replayed, chained and shipped unchanged, and it equals none of the enum's
// values.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace notavero::service {

// Each list: X(enum type, value, text).  The lists build the enums and
// their tables (kTerms) both: a value cannot be without its text.

// A journal row's kind (the column "kind", the JSON's "type").
#define NOTAVERO_ROW_KINDS(X)             \
  X(RowKind, kEscrow, "escrow")           \
  X(RowKind, kStacked, "stacked")         \
  X(RowKind, kReturned, "returned")       \
  X(RowKind, kRejected, "rejected")       \
  X(RowKind, kUnconfirmed, "unconfirmed") \
  X(RowKind, kRepeat, "repeat")           \
  X(RowKind, kCollection, "collection")   \
  X(RowKind, kCassetteIn, "cassette-in")

// An escrow's decision (the column "decision", NULL while it waits).
#define NOTAVERO_BILL_DECISIONS(X) \
  X(BillDecision, kNone, "")       \
  X(BillDecision, kStack, "stack") \
  X(BillDecision, kReturn, "return")

// Who decided an escrow (the escrow row's detail, the JSON's "by").
#define NOTAVERO_DECIDERS(X)           \
  X(DecidedBy, kClient, "client")      \
  X(DecidedBy, kTimeout, "timeout")    \
  X(DecidedBy, kNoClient, "no-client") \
  X(DecidedBy, kClosing, "closing")    \
  X(DecidedBy, kRestart, "restart")    \
  X(DecidedBy, kJournalError, "journal-error")

#define NOTAVERO_TERM_ENUMERATOR_(type, value, text) value,
enum class RowKind { NOTAVERO_ROW_KINDS(NOTAVERO_TERM_ENUMERATOR_) };
enum class BillDecision { NOTAVERO_BILL_DECISIONS(NOTAVERO_TERM_ENUMERATOR_) };
enum class DecidedBy { NOTAVERO_DECIDERS(NOTAVERO_TERM_ENUMERATOR_) };
#undef NOTAVERO_TERM_ENUMERATOR_

template <typename E>
struct TermSpelling {
  E value;
  std::string_view text;
};

// Every value of E with its text, in the enum's order.
template <typename E>
inline constexpr std::array<TermSpelling<E>, 0> kTerms{};

#define NOTAVERO_TERM_SPELLING_(type, value, text) TermSpelling<type>{type::value, text},
template <>
inline constexpr std::array kTerms<RowKind>{NOTAVERO_ROW_KINDS(NOTAVERO_TERM_SPELLING_)};
template <>
inline constexpr std::array kTerms<BillDecision>{NOTAVERO_BILL_DECISIONS(NOTAVERO_TERM_SPELLING_)};
template <>
inline constexpr std::array kTerms<DecidedBy>{NOTAVERO_DECIDERS(NOTAVERO_TERM_SPELLING_)};
#undef NOTAVERO_TERM_SPELLING_

template <typename E>
constexpr std::string_view TermText(E value) {
  return kTerms<E>[static_cast<std::size_t>(value)].text;
}

// The value a text names; nullopt for a text that names none.
template <typename E>
constexpr std::optional<E> ParseTerm(std::string_view text) {
  for (const auto& term : kTerms<E>) {
    if (term.text == text) {
      return term.value;
    }
  }
  return std::nullopt;
}

// Each table is in its enum's order (TermText indexes it) and no two texts
// are alike (ParseTerm finds the one value).
template <typename E>
constexpr bool TermsAreOneToOne() {
  for (std::size_t i = 0; i < kTerms<E>.size(); ++i) {
    if (static_cast<std::size_t>(kTerms<E>[i].value) != i ||
        ParseTerm<E>(kTerms<E>[i].text) != kTerms<E>[i].value) {
      return false;
    }
  }
  return !kTerms<E>.empty();
}
static_assert(TermsAreOneToOne<RowKind>() && TermsAreOneToOne<BillDecision>() &&
              TermsAreOneToOne<DecidedBy>());

// A term as a row holds it: one of E's values, or the text of a word this
// version does not know, kept as it was read (it equals no value of E).
// Default: what the empty text reads as (BillDecision::kNone; an unknown
// empty kind).
template <typename E>
class Term {
 public:
  Term() : Term(Read({})) {}
  Term(E value) : value_(value) {}  // NOLINT(google-explicit-constructor): a value is a term

  static Term Read(std::string_view text) {
    if (const auto value = ParseTerm<E>(text)) {
      return Term(*value);
    }
    Term unknown(E{});
    unknown.unknown_ = true;
    unknown.text_ = text;
    return unknown;
  }

  // The value; nullopt for a word this version does not know.
  [[nodiscard]] std::optional<E> Known() const { return unknown_ ? std::nullopt : std::optional<E>(value_); }
  [[nodiscard]] std::string_view Text() const {
    return unknown_ ? std::string_view(text_) : TermText(value_);
  }

  bool operator==(E value) const { return !unknown_ && value_ == value; }
  // Two terms are alike when their texts are.
  bool operator==(const Term& other) const { return Text() == other.Text(); }

 private:
  E value_{};
  bool unknown_ = false;
  std::string text_;  // the unknown word
};

}  // namespace notavero::service
