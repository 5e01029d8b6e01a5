#include "command_parts.h"

#include "card_fields.h"
#include "exit_codes.h"
#include "host/trace_format.h"
#include "optional_exports.h"
#include "platform/system.h"
#include "sha256.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace kav::cli {
namespace {

#define KAV_RECORD_FIELD(member) fieldUtf8(record.member, sizeof record.member)

Json recordJson(const IDCardRecord &record) {
    return Json{
        {"name", KAV_RECORD_FIELD(name)},
        {"sex", KAV_RECORD_FIELD(sex)},
        {"nation", KAV_RECORD_FIELD(nation)},
        {"born", KAV_RECORD_FIELD(born)},
        {"address", KAV_RECORD_FIELD(address)},
        {"idNumber", KAV_RECORD_FIELD(idNumber)},
        {"issuer", KAV_RECORD_FIELD(issuer)},
        {"validFrom", KAV_RECORD_FIELD(validFrom)},
        {"validUntil", KAV_RECORD_FIELD(validUntil)},
        {"photoFile", KAV_RECORD_FIELD(photoFile)},
    };
}

#undef KAV_RECORD_FIELD

// The card of any type: its type, then every field of its layout.
Json cardJson(const KavCardData &card) {
    Json body{{"cardType", host::cardTypeKey(card)},
              {"cardTypeName", host::cardTypeName(card.type)}};
    for (const host::CardField &field : host::cardFields(card))
        body[field.key] = field.value;
    return body;
}

std::string cardText(const KavCardData &card) {
    std::string text = "证件类型: " + host::cardTypeName(card.type);
    for (const host::CardField &field : host::cardFields(card))
        text += "\n" + std::string(field.label) + ": " + field.value;
    return text;
}

// A card of a type this library does not know: the letter and the raw text
// block, so that the user can see it and report it.
int unknownLayout(const Output &out, const Step &step, int port, const KavCardData &card) {
    const std::string letter = host::cardTypeKey(card);
    const std::string block = host::hexBytes(card.textBlock, sizeof card.textBlock, "");
    return out.failure(step.operation, step.code, port,
                       Json{{"cardType", letter}, {"textBlock", block}},
                       "; card type " + letter + "; text block " + block);
}

// No copy of fingerprint data stays in freed memory.
void wipe(KavCardData &card) {
    volatile unsigned char *p = card.fingerprint;
    for (std::size_t i = 0; i < sizeof card.fingerprint; ++i)
        p[i] = 0;
}

std::string recordText(const Json &record) {
    static const std::pair<const char *, const char *> kLabels[] = {
        {"name", "姓名"},
        {"sex", "性别"},
        {"nation", "民族"},
        {"born", "出生"},
        {"address", "住址"},
        {"idNumber", "身份证号"},
        {"issuer", "发证机关"},
        {"validFrom", "有效期开始"},
        {"validUntil", "有效期结束"},
        {"photoFile", "照片"},
    };
    std::string text;
    for (const auto &[key, label] : kLabels) {
        if (!text.empty())
            text += '\n';
        text += std::string(label) + ": " + record[key].get<std::string>();
    }
    return text;
}

} // namespace

int runRead(const Output &out, int port, const PhotoOptions &photo, const ReadOptions &options) {
    const bool withFingerprint = options.fingerprint || options.fingerprintOut.has_value();
    const ReadCardFn readCard = readCardExport();
    if (withFingerprint && readCard == nullptr)
        return out.error("read",
                         "this library cannot read fingerprint data (it has no Kav_ReadCard)",
                         kExitOther);
    if (const Step set = setReadSettings(photo); !set.ok()) {
        out.failure(set.operation, set.code, port);
        return kExitPhoto;
    }
    IDCardRecord record{};
    auto card = std::make_unique<KavCardData>();
    struct Wipe {
        KavCardData &card;
        ~Wipe() { wipe(card); }
    } wiped{*card};
    const Step step =
        withFingerprint
            ? cardSequence(
                  port,
                  [&]() -> Step {
                      card->size = sizeof *card;
                      const std::unique_lock turn = photoTurn(photo.portInName);
                      const int r = readCard(port, KAV_READ_FINGERPRINT, card.get());
                      if (r != KAV_OK)
                          return Step{"Kav_ReadCard", r};
                      if (photo.portInName &&
                          !renamePhotoForPort(port, card->photoFile, sizeof card->photoFile, false))
                          return Step{"rename of the photo", KAV_E_PHOTO_WRITE};
                      return Step{};
                  })
            : readSequence(port, record, card.get(), photo.portInName);
    if (!step.ok()) {
        if (step.code == KAV_E_UNKNOWN_LAYOUT && card->type == KAV_CARD_UNKNOWN_LAYOUT)
            return unknownLayout(out, step, port, *card);
        return out.failure(step.operation, step.code, port);
    }
    // A library without the extended read still reads: its record, as ever.
    Json body = card->type != KAV_CARD_NONE ? cardJson(*card) : recordJson(record);
    std::string text = card->type != KAV_CARD_NONE ? cardText(*card) : recordText(body);
    if (withFingerprint) {
        const auto size = static_cast<std::size_t>(
            std::clamp(card->fingerprintSize, 0, static_cast<int>(sizeof card->fingerprint)));
        Json fingerprint{{"present", size > 0}, {"size", size}};
        if (size == 0) {
            text += "\nfingerprint: none on the card";
            if (options.fingerprintOut)
                text += "; " + *options.fingerprintOut + " not written";
        } else {
            const std::string digest = sha256Hex(std::span(card->fingerprint, size));
            fingerprint["sha256"] = digest;
            text += "\nfingerprint: " + std::to_string(size) + " bytes, SHA-256 " + digest;
            // Fingerprint data leaves kav only as its size and digest, or
            // into a new file of the user's own.
            if (options.fingerprintOut) {
                std::string error;
                if (!platform::writeNewPrivateFile(*options.fingerprintOut, card->fingerprint, size,
                                                   error))
                    return out.error("--fingerprint-out", *options.fingerprintOut + ": " + error,
                                     kExitOther);
                fingerprint["file"] = *options.fingerprintOut;
                text += ", written to " + *options.fingerprintOut;
            }
        }
        body["fingerprint"] = fingerprint;
    }
    return out.success(body, text);
}

int runAddress(const Output &out, int port) {
    const ReadAppendedAddressFn read = readAppendedAddressExport();
    if (read == nullptr)
        return out.error("address",
                         "this library cannot read appended addresses (it has no "
                         "Kav_ReadAppendedAddress)",
                         kExitOther);
    char address[KAV_ADDRESS_TEXT_SIZE] = {};
    int present = 0;
    const Step step = cardSequence(port, [&]() -> Step {
        const int r = read(port, address, sizeof address, &present);
        return r != KAV_OK ? Step{"Kav_ReadAppendedAddress", r} : Step{};
    });
    if (!step.ok())
        return out.failure(step.operation, step.code, port);
    // No appended address is what the card says, not a failure.
    if (present == 0)
        return out.success(Json{{"present", false}, {"address", nullptr}},
                           "no appended address on the card");
    return out.success(Json{{"present", true}, {"address", address}},
                       std::string("追加住址: ") + address);
}

} // namespace kav::cli
