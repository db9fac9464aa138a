#pragma once

#include "core/Views.h"
#include "gui/Settings.h"

namespace vn {

// The settings store as the logic sees it: every read and write goes straight to the store.
class StoredSettings : public SettingsView {
public:
    QString read(const QString& key, const QString& defaultValue) override {
        return ReadSetting(key, defaultValue);
    }
    void write(const QString& key, const QString& value) override { WriteSetting(key, value); }
};

}  // namespace vn
