#include "protocol/state_text.h"

#include <string_view>

#include "common/cp1251.h"
#include "common/hex.h"
#include "protocol/codes.h"

namespace notavero {

namespace {

// Texts with no composed part; empty for states that need composing.
std::string_view FixedStateText(uint8_t state) {
  switch (state) {
    case dsPowerUp: {
      static constexpr auto kText = Cp1251(u8"Включено питание");
      return kText;
    }
    case dsPowerUpWithBill: {
      static constexpr auto kText = Cp1251(u8"Включено питание с купюрой в купюроприемнике");
      return kText;
    }
    case dsPowerUpBillNoReturn: {
      static constexpr auto kText = Cp1251(u8"Включено питание с купюрой (возврат невозможен)");
      return kText;
    }
    case dsInitializing: {
      static constexpr auto kText = Cp1251(u8"Выполняется инициализация");
      return kText;
    }
    case dsWaitingForBill: {
      static constexpr auto kText = Cp1251(u8"Ожидается вставка купюры");
      return kText;
    }
    case dsAccepting: {
      static constexpr auto kText = Cp1251(u8"Прием купюры");
      return kText;
    }
    case dsStacking: {
      static constexpr auto kText = Cp1251(u8"Складирование купюры");
      return kText;
    }
    case dsReturning: {
      static constexpr auto kText = Cp1251(u8"Возврат купюры");
      return kText;
    }
    case dsDisabled: {
      static constexpr auto kText = Cp1251(u8"Выключен");
      return kText;
    }
    case dsHolding:
      return "Holding";
    case dsAcceptorFull: {
      static constexpr auto kText = Cp1251(u8"Купюроприемник заполнен");
      return kText;
    }
    case dsCassetteMissing: {
      static constexpr auto kText = Cp1251(u8"Отсутствует кассета для купюр");
      return kText;
    }
    case dsJamInPath: {
      static constexpr auto kText = Cp1251(u8"Затор в купюроприемнике (в приемном пути)");
      return kText;
    }
    case dsJamInCassette: {
      static constexpr auto kText = Cp1251(u8"Затор в купюроприемнике (в кассете)");
      return kText;
    }
    case dsCounterfeit: {
      static constexpr auto kText = Cp1251(u8"Фальшивка");
      return kText;
    }
    case dsPauseTwoBills: {
      static constexpr auto kText = Cp1251(u8"Пауза. Вставлено 2 купюры");
      return kText;
    }
    case dsEscrow: {
      static constexpr auto kText = Cp1251(u8"Принять купюру?");
      return kText;
    }
    case dsStacked: {
      static constexpr auto kText = Cp1251(u8"Складирование купюры.");
      return kText;
    }
    case dsReturned: {
      static constexpr auto kText = Cp1251(u8"Возврат купюры.");
      return kText;
    }
    default:
      return {};
  }
}

// Reason a bill was refused (state 0x1C); empty when the sub-code is unlisted.
std::string_view BillErrorText(uint8_t sub_code) {
  switch (sub_code) {
    case 0x60: {
      static constexpr auto kText = Cp1251(u8"Ошибка вставки");
      return kText;
    }
    case 0x61: {
      static constexpr auto kText = Cp1251(u8"Диэлектрическая ошибка");
      return kText;
    }
    case 0x62: {
      static constexpr auto kText = Cp1251(u8"Ранее вставленная купюра остается в голове");
      return kText;
    }
    case 0x63: {
      static constexpr auto kText = Cp1251(u8"Ошибка множителя");
      return kText;
    }
    case 0x64: {
      static constexpr auto kText = Cp1251(u8"Ошибка транспортировки купюры");
      return kText;
    }
    case 0x65: {
      static constexpr auto kText = Cp1251(u8"Ошибка идентификации");
      return kText;
    }
    case 0x66: {
      static constexpr auto kText = Cp1251(u8"Ошибка проверки");
      return kText;
    }
    case 0x67: {
      static constexpr auto kText = Cp1251(u8"Ошибка оптического сенсора");
      return kText;
    }
    case 0x68: {
      static constexpr auto kText = Cp1251(u8"Ошибка возврата стоимости");
      return kText;
    }
    case 0x69: {
      static constexpr auto kText = Cp1251(u8"Ошибка емкости");
      return kText;
    }
    case 0x6A: {
      static constexpr auto kText = Cp1251(u8"Ошибка при работе");
      return kText;
    }
    case 0x6C: {
      static constexpr auto kText = Cp1251(u8"Неверная длина купюры");
      return kText;
    }
    case 0x6D: {
      // The misspelling is the device texts' own; hosts match on it.
      static constexpr auto kText = Cp1251(u8"Неаерная купюра в ультрафиолете");
      return kText;
    }
    case 0x92: {
      static constexpr auto kText = Cp1251(u8"Неверный штрих-код");
      return kText;
    }
    case 0x93: {
      static constexpr auto kText = Cp1251(u8"Неправильное число символов в штрих-коде");
      return kText;
    }
    case 0x94: {
      static constexpr auto kText = Cp1251(u8"Неизвестная стартовая последовательность в штрих-коде");
      return kText;
    }
    case 0x95: {
      static constexpr auto kText = Cp1251(u8"Неизвестная конечная последовательность в штрих-коде");
      return kText;
    }
    default:
      return {};
  }
}

// Failed unit (state 0x47); empty when the sub-code is unlisted.
std::string_view FailureText(uint8_t sub_code) {
  switch (sub_code) {
    case 0x50: {
      static constexpr auto kText = Cp1251(u8"Отказ двигателя кассетника");
      return kText;
    }
    case 0x51: {
      static constexpr auto kText = Cp1251(u8"Ошибка скорости транспортировочного двигателя");
      return kText;
    }
    case 0x52: {
      static constexpr auto kText = Cp1251(u8"Отказ транспортировочного двигателя");
      return kText;
    }
    case 0x53: {
      static constexpr auto kText = Cp1251(u8"Отказ при выравнивании двигателя");
      return kText;
    }
    case 0x54: {
      static constexpr auto kText = Cp1251(u8"Ошибка инициализации статуса кассеты");
      return kText;
    }
    case 0x55: {
      static constexpr auto kText = Cp1251(u8"Ошибка оптического датчика");
      return kText;
    }
    case 0x56: {
      static constexpr auto kText = Cp1251(u8"Ошибка магнитного датчика");
      return kText;
    }
    case 0x5F: {
      static constexpr auto kText = Cp1251(u8"Ошибка датчика емкости");
      return kText;
    }
    default:
      return {};
  }
}

// A sub-code table's text, or `prefix` and the sub-code in hexadecimal.
std::string SubCodeText(std::string_view listed, std::string_view prefix, uint8_t sub_code) {
  if (!listed.empty()) {
    return std::string(listed);
  }
  std::string text(prefix);
  AppendHex2(text, sub_code);
  return text;
}

}  // namespace

std::string StateToText(uint16_t status) {
  const uint8_t state = DeviceStateOf(status);
  const uint8_t sub_code = SubCodeOf(status);

  if (const std::string_view fixed = FixedStateText(state); !fixed.empty()) {
    return std::string(fixed);
  }
  switch (state) {
    case dsBusy: {
      static constexpr auto kBefore = Cp1251(u8"Купюроприемник занят (еще ");
      static constexpr auto kAfter = Cp1251(u8"00 мс)");
      std::string text(kBefore);
      text += std::to_string(sub_code);
      text += kAfter;
      return text;
    }
    case dsBillError: {
      static constexpr auto kPrefix = Cp1251(u8"Ошибка 1C");
      return SubCodeText(BillErrorText(sub_code), kPrefix, sub_code);
    }
    case dsFailure: {
      static constexpr auto kPrefix = Cp1251(u8"Ошибка 47");
      return SubCodeText(FailureText(sub_code), kPrefix, sub_code);
    }
    default: {
      static constexpr auto kPrefix = Cp1251(u8"Неизвестное состояние ");
      std::string text(kPrefix);
      AppendHex2(text, state);
      AppendHex2(text, sub_code);
      return text;
    }
  }
}

}  // namespace notavero
