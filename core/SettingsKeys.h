#pragma once

#include <iterator>

namespace vn {

// Every value the program keeps between sessions: its key in the store, how its text is read,
// and what a read gives while the key is absent. The keys are the store's own names and appear
// in users' settings files, so they never change.

enum class SettingType {
    Text,     // taken as it stands
    Integer,  // a whole decimal number
    Boolean,  // written "True" or "False"; read in any letter case, or as a number
};

struct SettingKey {
    const char* name;
    SettingType type;
    // The text read while the key is absent; null where it depends on the machine and the
    // reader supplies it.
    const char* defaultValue;
};

namespace setting {

// The options panel, each written the moment its control changes.
inline constexpr SettingKey Combo1{"Combo1", SettingType::Integer, "0"};
// 0 clear, 1 ticked, 2 grey.
inline constexpr SettingKey Check1{"Check1", SettingType::Integer, "1"};
inline constexpr SettingKey Option1{"Option1", SettingType::Boolean, "1"};
inline constexpr SettingKey Option2{"Option2", SettingType::Boolean, "0"};
inline constexpr SettingKey Option3{"Option3", SettingType::Boolean, "0"};
inline constexpr SettingKey Option4{"Option4", SettingType::Boolean, "1"};
// The user's desktop folder while absent.
inline constexpr SettingKey OutputFolder{"Output Folder", SettingType::Text, nullptr};
// The folder last picked for the results; kept, not read back.
inline constexpr SettingKey LastFolderDot{"LastFolderDot", SettingType::Text, ""};

// The keyword list in its stored form, written when the window closes.
inline constexpr SettingKey Keywords{"Keywords", SettingType::Text, ""};

// "Add All File(s) In Folder": the extension asked for and the folder picked last.
inline constexpr SettingKey Extension{"Extension", SettingType::Text, "*"};
inline constexpr SettingKey LastFolder{"LastFolder", SettingType::Text, ""};

// The line-number list the run asks for, offered again next time.
inline constexpr SettingKey InputBox{"InputBox", SettingType::Text, "1,2,5"};

inline constexpr SettingKey all[] = {
    Combo1,       Check1,        Option1,  Option2,   Option3,    Option4,
    OutputFolder, LastFolderDot, Keywords, Extension, LastFolder, InputBox,
};
inline constexpr int count = int(std::size(all));

}  // namespace setting

}  // namespace vn
