#include "protocol/state_names.h"

#include "protocol/codes.h"

namespace notavero {

const char* StateName(uint8_t state) {
  switch (state) {
    case dsPowerUp:
      return "power up";
    case dsPowerUpWithBill:
      return "power up with bill in validator";
    case dsPowerUpBillNoReturn:
      return "power up with bill in stacker";
    case dsInitializing:
      return "initializing";
    case dsWaitingForBill:
      return "idling";
    case dsAccepting:
      return "accepting";
    case dsStacking:
      return "stacking";
    case dsReturning:
      return "returning";
    case dsDisabled:
      return "disabled";
    case dsHolding:
      return "holding";
    case dsBusy:
      return "busy";
    case dsBillError:
      return "rejecting";
    case dsAcceptorFull:
      return "stacker full";
    case dsCassetteMissing:
      return "cassette missing";
    case dsJamInPath:
      return "jam in path";
    case dsJamInCassette:
      return "jam in cassette";
    case dsCounterfeit:
      return "cheated";
    case dsPauseTwoBills:
      return "paused";
    case dsFailure:
      return "failure";
    case dsEscrow:
      return "escrow";
    case dsStacked:
      return "stacked";
    case dsReturned:
      return "returned";
    default:
      return "unknown";
  }
}

const char* RejectReasonName(uint8_t sub_code) {
  switch (sub_code) {
    case 0x60:
      return "insertion";
    case 0x61:
      return "dielectric";
    case 0x62:
      return "previous bill in head";
    case 0x63:
      return "compensation";
    case 0x64:
      return "transport";
    case 0x65:
      return "identification";
    case 0x66:
      return "verification";
    case 0x67:
      return "optical sensor";
    case 0x68:
      return "inhibited denomination";
    case 0x69:
      return "capacitance";
    case 0x6A:
      return "operation";
    case 0x6C:
      return "length";
    case 0x6D:
      return "ultraviolet";
    case 0x92:
      return "barcode";
    case 0x93:
      return "barcode digit count";
    case 0x94:
      return "barcode start sequence";
    case 0x95:
      return "barcode stop sequence";
    default:
      return "unknown";
  }
}

}  // namespace notavero
