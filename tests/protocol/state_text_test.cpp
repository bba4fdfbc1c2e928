#include "protocol/state_text.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "common/cp1251.h"
#include "protocol/codes.h"

namespace notavero {
namespace {

// Expected texts in UTF-8; the driver's are Windows-1251.
std::string Utf8Text(uint16_t status) {
  return Cp1251ToUtf8(StateToText(status));
}

const std::map<uint8_t, std::string>& FixedTexts() {
  static const std::map<uint8_t, std::string> kTexts = {
      {0x10, "Включено питание"},
      {0x11, "Включено питание с купюрой в купюроприемнике"},
      {0x12, "Включено питание с купюрой (возврат невозможен)"},
      {0x13, "Выполняется инициализация"},
      {0x14, "Ожидается вставка купюры"},
      {0x15, "Прием купюры"},
      {0x17, "Складирование купюры"},
      {0x18, "Возврат купюры"},
      {0x19, "Выключен"},
      {0x1A, "Holding"},
      {0x41, "Купюроприемник заполнен"},
      {0x42, "Отсутствует кассета для купюр"},
      {0x43, "Затор в купюроприемнике (в приемном пути)"},
      {0x44, "Затор в купюроприемнике (в кассете)"},
      {0x45, "Фальшивка"},
      {0x46, "Пауза. Вставлено 2 купюры"},
      {0x80, "Принять купюру?"},
      {0x81, "Складирование купюры."},
      {0x82, "Возврат купюры."},
  };
  return kTexts;
}

TEST(StateToText, FixedTextsWhateverTheSubCode) {
  for (const auto& [state, text] : FixedTexts()) {
    for (const int sub_code : {0x00, 0x05, 0x60, 0xFF}) {
      EXPECT_EQ(Utf8Text(MakeStatus(state, static_cast<uint8_t>(sub_code))), text)
          << std::hex << int{state} << "/" << sub_code;
    }
  }
}

TEST(StateToText, TextsAreWindows1251Bytes) {
  EXPECT_EQ(StateToText(0x0019), "\xC2\xFB\xEA\xEB\xFE\xF7\xE5\xED");
  EXPECT_EQ(StateToText(0x001A), "Holding");
  // "Ошибка 1C" keeps its Latin C, then the sub-code.
  EXPECT_EQ(StateToText(0x6B1C), "\xCE\xF8\xE8\xE1\xEA\xE0 1C6B");
}

TEST(StateToText, FullStopTellsTheEventsFromTheStates) {
  EXPECT_EQ(StateToText(0x0081), StateToText(0x0017) + ".");
  EXPECT_EQ(StateToText(0x0082), StateToText(0x0018) + ".");
  EXPECT_NE(StateToText(0x0017), StateToText(0x0018));
}

TEST(StateToText, BusyTextGivesTheWaitInMilliseconds) {
  EXPECT_EQ(Utf8Text(0x051B), "Купюроприемник занят (еще 500 мс)");
  EXPECT_EQ(Utf8Text(0x001B), "Купюроприемник занят (еще 000 мс)");
  EXPECT_EQ(Utf8Text(0xFF1B), "Купюроприемник занят (еще 25500 мс)");
}

TEST(StateToText, BillErrorReasons) {
  const std::map<uint8_t, std::string> reasons = {
      {0x60, "Ошибка вставки"},
      {0x61, "Диэлектрическая ошибка"},
      {0x62, "Ранее вставленная купюра остается в голове"},
      {0x63, "Ошибка множителя"},
      {0x64, "Ошибка транспортировки купюры"},
      {0x65, "Ошибка идентификации"},
      {0x66, "Ошибка проверки"},
      {0x67, "Ошибка оптического сенсора"},
      {0x68, "Ошибка возврата стоимости"},
      {0x69, "Ошибка емкости"},
      {0x6A, "Ошибка при работе"},
      {0x6C, "Неверная длина купюры"},
      {0x6D, "Неаерная купюра в ультрафиолете"},
      {0x92, "Неверный штрих-код"},
      {0x93, "Неправильное число символов в штрих-коде"},
      {0x94, "Неизвестная стартовая последовательность в штрих-коде"},
      {0x95, "Неизвестная конечная последовательность в штрих-коде"},
  };
  for (int sub = 0; sub < 256; ++sub) {
    const auto it = reasons.find(static_cast<uint8_t>(sub));
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sub);
    const std::string expected = it != reasons.end() ? it->second : std::string("Ошибка 1C") + hex;
    EXPECT_EQ(Utf8Text(MakeStatus(dsBillError, static_cast<uint8_t>(sub))), expected);
  }
  EXPECT_EQ(Utf8Text(0x6B1C), "Ошибка 1C6B");
  EXPECT_EQ(Utf8Text(0x051C), "Ошибка 1C05");
}

TEST(StateToText, FailedUnits) {
  const std::map<uint8_t, std::string> units = {
      {0x50, "Отказ двигателя кассетника"},
      {0x51, "Ошибка скорости транспортировочного двигателя"},
      {0x52, "Отказ транспортировочного двигателя"},
      {0x53, "Отказ при выравнивании двигателя"},
      {0x54, "Ошибка инициализации статуса кассеты"},
      {0x55, "Ошибка оптического датчика"},
      {0x56, "Ошибка магнитного датчика"},
      {0x5F, "Ошибка датчика емкости"},
  };
  for (int sub = 0; sub < 256; ++sub) {
    const auto it = units.find(static_cast<uint8_t>(sub));
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sub);
    const std::string expected = it != units.end() ? it->second : std::string("Ошибка 47") + hex;
    EXPECT_EQ(Utf8Text(MakeStatus(dsFailure, static_cast<uint8_t>(sub))), expected);
  }
  EXPECT_EQ(Utf8Text(0x5747), "Ошибка 4757");
}

TEST(StateToText, UnlistedStatesNameBothNumbers) {
  EXPECT_EQ(Utf8Text(0x0016), "Неизвестное состояние 1600");
  EXPECT_EQ(Utf8Text(0x0000), "Неизвестное состояние 0000");
  EXPECT_EQ(Utf8Text(0x0CAB), "Неизвестное состояние AB0C");
  EXPECT_EQ(Utf8Text(0xFFFF), "Неизвестное состояние FFFF");
}

TEST(StateToText, SweepOfAllWords) {
  std::map<std::string, uint8_t> owner;  // text -> the listed state that gave it
  for (uint32_t word = 0; word <= 0xFFFF; ++word) {
    const auto status = static_cast<uint16_t>(word);
    const std::string text = StateToText(status);
    ASSERT_FALSE(text.empty()) << word;
    const uint8_t state = DeviceStateOf(status);
    if (FixedTexts().count(state) != 0 || state == dsBusy || state == dsBillError || state == dsFailure) {
      const auto [it, inserted] = owner.emplace(text, state);
      EXPECT_TRUE(inserted || it->second == state)
          << "states " << int{it->second} << " and " << int{state} << " share a text";
    }
  }
}

}  // namespace
}  // namespace notavero
