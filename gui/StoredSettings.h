#pragma once

#include "gui/Settings.h"
#include "filelist/AddFiles.h"
#include "run/RunDriver.h"

namespace vn {

// The settings store as the folder adding and the run see it: every read and write goes straight
// to the store, as the window's own controls do.
class StoredSettings : public filelist::AddSettings, public run::RunSettings {
public:
    QString read(const QString& key, const QString& defaultValue) override {
        return ReadSetting(key, defaultValue);
    }
    void write(const QString& key, const QString& value) override { WriteSetting(key, value); }
};

}  // namespace vn
