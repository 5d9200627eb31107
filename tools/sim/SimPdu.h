// The network's side of the SMS PDU formats: the simulated modem decodes the
// SMS-SUBMITs a host sends and encodes the SMS-DELIVERs it stores. Written
// apart from the driver's codec on purpose: tests use it as an oracle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/sim/SimTypes.h"

namespace qvsim {

using Bytes = std::vector<uint8_t>;

// Upper-case hex, two digits per octet.
std::string ToHex(const Bytes& bytes);
// False for an odd length or a character that is not a hex digit (either case).
bool FromHex(const std::string& hex, Bytes* out);

std::string ToUtf8(const std::u16string& text);
// Invalid sequences become U+FFFD.
std::u16string FromUtf8(const std::string& text);

// Octets after the SMSC field, as AT+CMGS and AT+CMGR count them; -1 when the
// hex is not a well-formed PDU prefix.
int TpduLength(const std::string& hex);

// Fills everything in *out but the AT-level fields (cmgsReference,
// declaredLength). False with *error when the PDU is not a well-formed
// SMS-SUBMIT (trailing octets included).
bool DecodeSubmit(const std::string& hex, Submit* out, std::string* error);

// The SMS-DELIVER PDUs (hex, SMSC field first) that carry `in`, one per
// part in part order; `reference` is used when the text needs several parts
// and `in.concatReference` is -1. The SMSC field is "00" when smsc is empty.
std::vector<std::string> EncodeDeliver(const Incoming& in, const std::string& smsc, int reference);

// An SMS-STATUS-REPORT (hex, SMSC field first) for the part the network
// numbered `reference`: the recipient field as the submit gave it (hex of
// length, type and digits), service-centre and discharge times in seconds
// since 1970 (written in UTC), and TP-ST. No optional fields follow.
std::string EncodeStatusReport(const std::string& smsc, int reference,
                               const std::string& recipientField, int64_t serviceCentreTime,
                               int64_t dischargeTime, int status);

// True when every code unit of text is in the GSM 7-bit alphabet.
bool FitsGsm7(const std::u16string& text);

}  // namespace qvsim
