#include "core/ZylProtocol.h"

std::u16string_view ZylErrorText(int32_t code) {
    static constexpr std::u16string_view texts[] = {
        u"no error",     u"local buffer full", u"net buffer full", u"file removed", u"share removed",
        u"disconnected", u"no disk space",     u"net busy",        u"user denied",  u"other error",
    };
    if (code < 0 || code >= static_cast<int32_t>(std::size(texts)))
        return u"unknown error";
    return texts[code];
}
