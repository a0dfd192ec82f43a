#include "system/Line.h"

#include <climits>
#include <cstring>

#include "platform/platform.h"
#include "system/MemAlloc.h"
#include "system/System.h"

char* strDup(const char* text) {
    size_t length = strlen(text);
    if (length >= INT32_MAX) fatalError("MemAlloc", 5, "memAlloc");
    char* copy = static_cast<char*>(memAlloc(static_cast<int32_t>(length + 1)));
    memcpy(copy, text, length + 1);
    return copy;
}

const char* findSlash(const char* text) {
    for (const char* p = text; *p != '\0';) {
        if (*p == '/') return p;
        // A lead byte takes its second byte with it, so that byte never counts;
        // but no second byte is ever '/', and the kernel splits names at every
        // '/', so a lead byte before one stands alone.
        p += platformIsLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0' && p[1] != '/' ? 2 : 1;
    }
    return nullptr;
}

static int foldAscii(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

int mbs_stricmp(const char* first, const char* second) {
    bool afterLead = false;
    for (size_t i = 0;; ++i) {
        int a = static_cast<unsigned char>(first[i]);
        int b = static_cast<unsigned char>(second[i]);
        if (a == 0 && b == 0) return 0;
        if (afterLead) {
            afterLead = false;
        } else if (platformIsLeadByte(static_cast<unsigned char>(a))) {
            afterLead = true;
        } else {
            a = foldAscii(a);
            b = foldAscii(b);
        }
        if (a != b) return a - b;
    }
}

static int hexValue(int c) {
    c = foldAscii(c);
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int parseCharCode(const char* text) {
    if (text[0] != '\0' && text[1] != '\0' && text[2] == '\0') {
        int high = hexValue(static_cast<unsigned char>(text[0]));
        int low = hexValue(static_cast<unsigned char>(text[1]));
        if (high >= 0 && low >= 0) return high * 16 + low;
    }
    return static_cast<unsigned char>(text[0]);
}

int32_t parseDecimal(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value <= static_cast<int64_t>(INT32_MAX) + 1) value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}
