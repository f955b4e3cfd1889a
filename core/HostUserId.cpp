#include "core/ZylPayload.h"
#include "zylfs/ZylPlugin.h"

#include <string>

namespace {

constexpr uint32_t ZYL_MOBILE_BIT = 0x80000000u;
constexpr uint32_t ZYL_MIN_NUMBER = 1000;
constexpr uint32_t ZYL_MAX_NUMBER = 0x7FFFFFFFu;

bool IsTrimSpace(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}
bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// Reads a run of at least one digit ended by a full stop, starting at position; leaves position on
// the full stop. A run too large for 32 bits gives a value Set refuses rather than a wrapped one.
bool ReadDigitRun(std::u16string_view text, size_t& position, uint64_t& value) {
    const size_t start = position;
    value = 0;
    while (position < text.size() && IsDigit(text[position])) {
        if (value <= 0xFFFFFFFFull)
            value = value * 10 + static_cast<uint64_t>(text[position] - u'0');
        ++position;
    }
    return position > start && position < text.size() && text[position] == u'.';
}

} // namespace

HostUserId::Kind HostUserId::GetKind() const {
    if (site == 0 || (number & ZYL_MAX_NUMBER) < ZYL_MIN_NUMBER)
        return Invalid;
    return (number & ZYL_MOBILE_BIT) ? Mobile : Plain;
}

bool HostUserId::Set(int32_t kind, uint32_t newSite, uint32_t newNumber) {
    if (kind == Invalid) {
        site = 0;
        return true;
    }
    if (kind != Plain && kind != Mobile)
        return false;
    if (newSite == 0 || newNumber < ZYL_MIN_NUMBER || newNumber > ZYL_MAX_NUMBER)
        return false;
    site = newSite;
    number = kind == Mobile ? (newNumber | ZYL_MOBILE_BIT) : newNumber;
    return true;
}

bool HostUserId::Parse(std::u16string_view text) {
    while (!text.empty() && IsTrimSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsTrimSpace(text.back()))
        text.remove_suffix(1);
    // The closing full stop lets both digit runs end the same way.
    std::u16string work(text);
    work.push_back(u'.');

    int32_t kind = Plain;
    size_t position = 1;
    if (work.size() > 1 && (work[1] == u'M' || work[1] == u'm')) {
        kind = Mobile;
        position = 2;
    }
    if (work[0] != u'S' && work[0] != u's')
        return false;

    uint64_t newSite = 0;
    uint64_t newNumber = 0;
    if (!ReadDigitRun(work, position, newSite))
        return false;
    ++position;
    if (!ReadDigitRun(work, position, newNumber) || position != work.size() - 1)
        return false;

    if (newSite <= 0xFFFFFFFFull && newNumber <= 0xFFFFFFFFull)
        Set(kind, static_cast<uint32_t>(newSite), static_cast<uint32_t>(newNumber));
    return true;
}

std::u16string HostUserId::ToText() const {
    const Kind kind = GetKind();
    if (kind == Invalid)
        return u"Invalid ID";
    std::u16string text = kind == Mobile ? u"SM" : u"S";
    for (char c : std::to_string(site))
        text.push_back(static_cast<char16_t>(c));
    text.push_back(u'.');
    for (char c : std::to_string(number & ZYL_MAX_NUMBER))
        text.push_back(static_cast<char16_t>(c));
    return text;
}

void HostUserId::Read(ZylPayloadReader& reader) {
    // Both words are taken before either is stored, so a cut-off payload leaves the identity whole.
    const uint32_t newSite = reader.ReadUInt32();
    const uint32_t newNumber = reader.ReadUInt32();
    site = newSite;
    number = newNumber;
}

void HostUserId::Write(ZylPayloadWriter& writer) const {
    writer.WriteInt32(site).WriteInt32(number);
}
