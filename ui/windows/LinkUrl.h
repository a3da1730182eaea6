#pragma once
// The web addresses the windows open, from the "LocalVersionMessage" list:
// one section per language code, "en" serving when the interface language
// has none or leaves the entry empty.
#include <QString>

class VXLinkUrl {
public:
    // The address of key, read fresh on every call; a null string when
    // neither the language's nor the "en" section holds it.
    static QString GetUrl(const QString& key);
    // Opens url in the default browser; nothing for an empty one.
    static void open(const QString& url);
};
