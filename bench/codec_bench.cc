// Cost of the SMS PDU codec: encoding SMS-SUBMIT and decoding SMS-DELIVER.
// With Gammu's library installed, the same messages go through its encoder
// and decoder in the same run, as the peer to beat.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pdu/PDUCodec.h"

#ifdef QVGSM_HAVE_GAMMU
#include <gammu.h>
#endif

namespace {

const char kNumber[] = "+4917012345678";

std::u16string OnePartGsm7Text() {
    return u"Your parcel 4711 arrives today between 10:00 and 12:00. Reply "
           u"STOP to opt out. {ref: A-17} costs 0.10 EUR per message.";
}

std::u16string ThreePartsUcs2Text() {
    std::u16string text;
    while (text.size() < 180) text += u"\u041F\u0440\u0438\u0432\u0435\u0442, \u043C\u0438\u0440! ";
    text.resize(180);  // 64 + 64 + 52 code units
    return text;
}

// 160 septets of text, as SMS-DELIVER.
std::string OnePartGsm7Deliver() {
    PDUCodec encoder;
    const std::string submit =
        encoder.EncodeSubmit(SMSMessage(0, kNumber, std::u16string(160, u'g')), 0)[0];
    // SUBMIT to DELIVER: service centre, first octet 04, a time stamp.
    return "07919471060040F0"
           "04" +
           submit.substr(6, 18) + "0000" + "62107291805000" + submit.substr(28);
}

// One part of a concatenated UCS2 message, 64 code units.
std::string Ucs2PartDeliver() {
    std::string ud = "050003A70301";
    for (int i = 0; i < 64; ++i) ud += "0436";
    return "07919471060040F0"
           "44"
           "0C919471101032F5"
           "0008"
           "62107291805000"
           "86" +
           ud;
}

void BM_EncodeSubmitOnePartGsm7(benchmark::State& state) {
    const SMSMessage message(0, kNumber, OnePartGsm7Text());
    PDUCodec codec;
    for (auto _ : state) benchmark::DoNotOptimize(codec.EncodeSubmit(message, 0));
}
BENCHMARK(BM_EncodeSubmitOnePartGsm7);

void BM_EncodeSubmitThreePartsUcs2(benchmark::State& state) {
    const SMSMessage message(0, kNumber, ThreePartsUcs2Text());
    PDUCodec codec;
    if (PDUCodec::CountParts(message) != 3) state.SkipWithError("expected three parts");
    for (auto _ : state) benchmark::DoNotOptimize(codec.EncodeSubmit(message, 1));
}
BENCHMARK(BM_EncodeSubmitThreePartsUcs2);

void BM_DecodeDeliverOnePartGsm7(benchmark::State& state) {
    const std::string deliver = OnePartGsm7Deliver();
    PDUCodec codec;
    SMSMessage check;
    codec.DecodeDeliver(deliver, check);
    if (check.GetText() != std::u16string(160, u'g')) state.SkipWithError("bad test PDU");
    for (auto _ : state) {
        SMSMessage message;
        codec.DecodeDeliver(deliver, message);
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(BM_DecodeDeliverOnePartGsm7);

void BM_DecodeDeliverUcs2Part(benchmark::State& state) {
    const std::string deliver = Ucs2PartDeliver();
    PDUCodec codec;
    SMSMessage check;
    codec.DecodeDeliver(deliver, check);
    if (check.GetText() != std::u16string(64, u'\u0436')) state.SkipWithError("bad test PDU");
    for (auto _ : state) {
        SMSMessage message;
        codec.DecodeDeliver(deliver, message);
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(BM_DecodeDeliverUcs2Part);

#ifdef QVGSM_HAVE_GAMMU
// Gammu's path for the same work: split and encode the text
// (GSM_EncodeMultiPartSMS), build each part's frame (GSM_EncodeSMSFrame) and
// turn it into hex; decoding takes the hex back to binary and parses it
// (GSM_DecodePDUFrame). Encoding is also timed on frames alone (argument 1),
// since GSM_EncodeMultiPartSMS spends most of its time clearing its records.
std::string Ucs2BigEndian(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out.push_back(static_cast<char>(c >> 8));
        out.push_back(static_cast<char>(c & 0xFF));
    }
    out.append(2, '\0');
    return out;
}

void GammuEncode(benchmark::State& state, const std::u16string& text, bool unicode,
                 int expectedParts) {
    std::string ucs2 = Ucs2BigEndian(text);
    std::string number = Ucs2BigEndian(u"+4917012345678");
    auto multi = std::make_unique<GSM_MultiSMSMessage>();
    auto info = std::make_unique<GSM_MultiPartSMSInfo>();
    std::vector<unsigned char> frame(2048);
    std::vector<char> hex(4096);
    GSM_Debug_Info* debug = GSM_GetGlobalDebug();
    auto once = [&]() {
        GSM_ClearMultiPartSMSInfo(info.get());
        info->EntriesNum = 1;
        info->UnicodeCoding = unicode ? TRUE : FALSE;
        info->Entries[0].ID = SMS_ConcatenatedTextLong;
        info->Entries[0].Buffer = reinterpret_cast<unsigned char*>(ucs2.data());
        if (GSM_EncodeMultiPartSMS(debug, info.get(), multi.get()) != ERR_NONE) return -1;
        for (int i = 0; i < multi->Number; ++i) {
            GSM_SMSMessage& part = multi->SMS[i];
            memcpy(part.Number, number.data(), number.size());
            int length = 0;
            if (GSM_EncodeSMSFrame(debug, &part, frame.data(), PHONE_SMSSubmit, &length, TRUE) !=
                ERR_NONE)
                return -1;
            EncodeHexBin(hex.data(), frame.data(), static_cast<size_t>(length));
            benchmark::DoNotOptimize(hex.data());
        }
        return multi->Number;
    };
    if (once() != expectedParts) state.SkipWithError("Gammu made another number of parts");
    if (state.range(0) == 0) {
        for (auto _ : state) benchmark::DoNotOptimize(once());
        return;
    }
    // Frames only: the parts made once, as if splitting were free.
    for (auto _ : state) {
        for (int i = 0; i < multi->Number; ++i) {
            int length = 0;
            GSM_EncodeSMSFrame(debug, &multi->SMS[i], frame.data(), PHONE_SMSSubmit, &length, TRUE);
            EncodeHexBin(hex.data(), frame.data(), static_cast<size_t>(length));
            benchmark::DoNotOptimize(hex.data());
        }
    }
}

void BM_GammuEncodeSubmitOnePartGsm7(benchmark::State& state) {
    GammuEncode(state, OnePartGsm7Text(), false, 1);
}
BENCHMARK(BM_GammuEncodeSubmitOnePartGsm7)->Arg(0)->Arg(1);

void BM_GammuEncodeSubmitThreePartsUcs2(benchmark::State& state) {
    GammuEncode(state, ThreePartsUcs2Text(), true, 3);
}
BENCHMARK(BM_GammuEncodeSubmitThreePartsUcs2)->Arg(0)->Arg(1);

void GammuDecode(benchmark::State& state, const std::string& deliver, size_t expectedLength) {
    auto sms = std::make_unique<GSM_SMSMessage>();
    std::vector<unsigned char> binary(deliver.size() / 2 + 1);
    GSM_Debug_Info* debug = GSM_GetGlobalDebug();
    auto once = [&]() {
        if (!DecodeHexBin(binary.data(), reinterpret_cast<const unsigned char*>(deliver.data()),
                          deliver.size()))
            return false;
        return GSM_DecodePDUFrame(debug, sms.get(), binary.data(), deliver.size() / 2, nullptr,
                                  TRUE) == ERR_NONE;
    };
    if (!once() || UnicodeLength(sms->Text) != expectedLength)
        state.SkipWithError("Gammu did not decode the test PDU");
    for (auto _ : state) {
        benchmark::DoNotOptimize(once());
        benchmark::DoNotOptimize(sms->Text);
    }
}

void BM_GammuDecodeDeliverOnePartGsm7(benchmark::State& state) {
    GammuDecode(state, OnePartGsm7Deliver(), 160);
}
BENCHMARK(BM_GammuDecodeDeliverOnePartGsm7);

void BM_GammuDecodeDeliverUcs2Part(benchmark::State& state) {
    GammuDecode(state, Ucs2PartDeliver(), 64);
}
BENCHMARK(BM_GammuDecodeDeliverUcs2Part);
#endif

}  // namespace

BENCHMARK_MAIN();
