#pragma once

#include <QString>

#include <functional>

namespace vn {

// The per-user settings store: named string values under application "Quorvane", section
// "Varnobis". Nothing is cached here; every read and every write goes to the store itself, so a
// value written is what the next read (in this run or a later one) sees.

// The value stored under key, or defaultValue when the key is absent. A stored empty string is
// returned as it is: only an absent key takes the default. A store that cannot be read, or whose
// file is damaged, counts as empty.
QString ReadSetting(const QString& key, const QString& defaultValue = QString());

// Creates or overwrites the key and flushes the store at once. The file is replaced whole and
// only once it is completely written, so a full disk or a kill leaves the previous store. A
// write the store refuses does not throw (the control that wrote it keeps the user's choice); it
// goes to the write-failure handler, once per program run. A damaged or unreadable file is never
// overwritten.
void WriteSetting(const QString& key, const QString& value);

// Where the store lives: Quorvane/Varnobis.ini in the user's configuration folder, looked up at
// every call so that a changed XDG_CONFIG_HOME takes effect at once.
QString settingsFilePath();

// For start-up: the one message to show when the store cannot be used, naming the file and the
// reason; empty when it is fine or does not exist yet. A damaged file is renamed to
// "Varnobis.ini.damaged" so that a fresh store can start. When the message says that changes
// will not be remembered, the refused writes that follow are not reported again.
QString CheckSettingsStore();

// Receives the description of the first refused write (the store's path and the system's
// reason). Installing a handler, or removing it with nullptr, arms the report again. Without a
// handler the description goes to the Qt warning log.
using SettingsWriteFailureHandler = std::function<void(const QString& description)>;
void setSettingsWriteFailureHandler(SettingsWriteFailureHandler handler);

// Conversions of stored text. Both throw vn::Failure for text they cannot convert.
// "True" or "False" in any letter case, or any decimal number (zero is false, anything else
// true); surrounding spaces are allowed.
bool SettingToBoolean(const QString& text);
// A whole decimal number with an optional sign and surrounding spaces.
int SettingToInteger(const QString& text);

// How Booleans are written: "True" or "False".
inline QString BooleanSetting(bool value) {
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

}  // namespace vn
