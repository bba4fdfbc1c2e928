// The fixed texts of the log, in Windows-1251: what the driver and the
// logger write, and what the log reader (tools/notavero/log_reader.cpp)
// looks for.  Both sides take them from here, so a text changed here changes
// for both.  A new phrase of the driver goes into the list below; the reader
// then has to say what it does with it (its switch over LogPhrase has no
// default, so the build stops until it does).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/cp1251.h"

// The driver's lines (level LogLevel::kInfo): X(Name, text), each text the
// start of a line, followed by what its comment says.
#define NOTAVERO_DRIVER_LOG_PHRASES(X)                                                           \
  /* state and sub-code in hexadecimal, "XX-YY", then ". " and the state's text */               \
  X(StateLine, u8"Состояние: ")                                                                  \
  /* the message of the error that ended a cycle */                                              \
  X(ThreadError, u8"Ошибка в потоке: ")                                                          \
  /* the bill type in hexadecimal */                                                             \
  X(BillTypeOutOfTable, u8"Номер купюры вне таблицы: ")                                          \
  X(StaleReply, u8"Ответ мог опоздать: опрос повторяется на свободной линии")                    \
  /* the bill type in hexadecimal */                                                             \
  X(UnknownEscrow, u8"Купюра неизвестного номинала возвращена без запроса: тип ")                \
  /* the bill type in hexadecimal */                                                             \
  X(UnknownStacked, u8"Уложена купюра неизвестного номинала: тип ")                              \
  /* the event and its bill type in hexadecimal, "XX-YY" */                                      \
  X(RepeatedEvent, u8"Повтор события без новой купюры, не зачисляется: ")                        \
  /* the bill type in hexadecimal, then UnconfirmedAmount and the value (0: unknown) */          \
  X(Unconfirmed, u8"Исход купюры не подтверждён устройством: тип ")                              \
  X(UnaskedAcceptance, u8"Приём купюр включён без запроса: выключается")                         \
  X(DisableForTable, u8"Приём купюр выключается до чтения таблицы купюр")                        \
  X(NoBillTable, u8"Таблица купюр не получена: будет запрошена снова")                           \
  /* the port's name */                                                                          \
  X(PortLost, u8"Порт потерян, повторное открытие каждую секунду: ")                             \
  /* the port's name */                                                                          \
  X(PortBack, u8"Порт открыт снова: ")                                                           \
  X(EnableBeforeTable, u8"Включение приёма до чтения таблицы купюр: ни один номинал не включён") \
  /* the bill type in hexadecimal */                                                             \
  X(DecisionAgain, u8"Решение по купюре повторяется после потери связи: тип ")                   \
  /* the event and its bill type in hexadecimal, "XX-YY" */                                      \
  X(OutcomeNotRecorded, u8"Хост не записал исход купюры, событие не подтверждается: ")           \
  /* the bill type in hexadecimal */                                                             \
  X(ReturnNotConfirmed, u8"Возврат купюры не подтверждён устройством: тип ")                     \
  /* the bill type in hexadecimal */                                                             \
  X(WindingDownEscrow, u8"Драйвер закрывается: купюра возвращена без запроса: тип ")             \
  /* the event and its bill type in hexadecimal, "XX-YY" */                                      \
  X(LeftWithDevice, u8"Драйвер освобождён в обратном вызове: событие остаётся устройству: ")

namespace notavero {

enum class LogPhrase : uint8_t {
#define NOTAVERO_LOG_PHRASE_ENUM(name, text) k##name,
  NOTAVERO_DRIVER_LOG_PHRASES(NOTAVERO_LOG_PHRASE_ENUM)
#undef NOTAVERO_LOG_PHRASE_ENUM
};

namespace phrase {

#define NOTAVERO_LOG_PHRASE_TEXT(name, text) inline constexpr auto k##name = Cp1251(text);
NOTAVERO_DRIVER_LOG_PHRASES(NOTAVERO_LOG_PHRASE_TEXT)
#undef NOTAVERO_LOG_PHRASE_TEXT

// Follows the bill type in an Unconfirmed line.
inline constexpr auto kUnconfirmedAmount = Cp1251(u8", сумма ");
// The message of a device command whose exchange failed; a ThreadError
// line carries it.
inline constexpr auto kCashDeviceError = Cp1251(u8"Ошибка кассы: ");
// What a ThreadError line may say after kCashDeviceError: the command in
// hexadecimal, ": " and why it failed.
inline constexpr auto kFailedCommand = Cp1251(u8"команда ");
inline constexpr auto kNoAnswer = Cp1251(u8"нет ответа");
inline constexpr auto kBadChecksum = Cp1251(u8"неверная контрольная сумма");
inline constexpr auto kNotSent = Cp1251(u8"кадр не отправлен");
inline constexpr auto kLineNeverQuiet = Cp1251(u8"линия не затихает");
inline constexpr auto kStaleReplies = Cp1251(u8"ответы могли опоздать");

// The port's lines of a frame, after the port's "[COMn]:  ": the caption,
// then each byte in hexadecimal after a space.
inline constexpr auto kSend = Cp1251(u8"Send:");
inline constexpr auto kReceive = Cp1251(u8"Receive:");

// The logger's own lines, without time stamp: a file it could not open
// (followed by the system's reason), and lines it lost (followed by their
// count).
inline constexpr auto kOpenFailure = Cp1251(u8"Ошибка открытия файла:");
inline constexpr auto kDroppedLines = Cp1251(u8"Пропущено строк журнала: ");
// Ends a line that stood for N more of the same, " (повторов: N)".
inline constexpr auto kRepeats = Cp1251(u8" (повторов: ");

}  // namespace phrase

struct LogPhraseText {
  LogPhrase phrase;
  std::string_view text;
};

// Every phrase of the driver with its text.
inline constexpr std::array kDriverLogPhrases = {
#define NOTAVERO_LOG_PHRASE_ENTRY(name, text) LogPhraseText{LogPhrase::k##name, phrase::k##name.view()},
    NOTAVERO_DRIVER_LOG_PHRASES(NOTAVERO_LOG_PHRASE_ENTRY)
#undef NOTAVERO_LOG_PHRASE_ENTRY
};

// The phrase a line of the driver begins with (the longest that fits);
// nothing when it begins with none.
constexpr std::optional<LogPhraseText> MatchLogPhrase(std::string_view line) {
  std::optional<LogPhraseText> found;
  for (const LogPhraseText& entry : kDriverLogPhrases) {
    if (line.starts_with(entry.text) && (!found || entry.text.size() > found->text.size())) {
      found = entry;
    }
  }
  return found;
}

}  // namespace notavero
