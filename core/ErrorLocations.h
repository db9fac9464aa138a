#pragma once

// The names under which guarded procedures report failures. The project word and the date are
// part of what users quote back to support, so they stay exactly as they are.
namespace vn::loc {

inline constexpr const char* Form_Load = "Tessamar2021/08/31.Form1.Form_Load";
inline constexpr const char* Form_QueryUnload = "Tessamar2021/08/31.Form1.Form_QueryUnload";
inline constexpr const char* PushButton1_Click = "Tessamar2021/08/31.Form1.PushButton1_Click";
inline constexpr const char* PushButton2_Click = "Tessamar2021/08/31.Form1.PushButton2_Click";
inline constexpr const char* PushButton3_Click = "Tessamar2021/08/31.Form1.PushButton3_Click";
inline constexpr const char* PushButton5_Click = "Tessamar2021/08/31.Form1.PushButton5_Click";
inline constexpr const char* PushButton6_Click = "Tessamar2021/08/31.Form1.PushButton6_Click";
inline constexpr const char* PushButton7_Click = "Tessamar2021/08/31.Form1.PushButton7_Click";
inline constexpr const char* PushButton8_Click = "Tessamar2021/08/31.Form1.PushButton8_Click";
inline constexpr const char* PushButton9_Click = "Tessamar2021/08/31.Form1.PushButton9_Click";
inline constexpr const char* PushButton10_Click = "Tessamar2021/08/31.Form1.PushButton10_Click";
inline constexpr const char* PushButton11_Click = "Tessamar2021/08/31.Form1.PushButton11_Click";
inline constexpr const char* RemoveAllBlankLinesWrapper =
    "Tessamar2021/08/31.AddRemove.RemoveAllBlankLinesWrapper";
inline constexpr const char* RemoveContaining = "Tessamar2021/08/31.AddRemove.RemoveContaining";
inline constexpr const char* RemoveNotContaining =
    "Tessamar2021/08/31.AddRemove.RemoveNotContaining";
inline constexpr const char* RemoveContainingListview =
    "Tessamar2021/08/31.AddRemove.RemoveContainingListview";
inline constexpr const char* RemoveNotContainingListview =
    "Tessamar2021/08/31.AddRemove.RemoveNotContainingListview";
inline constexpr const char* RemoveN1 = "Tessamar2021/08/31.AddRemove.RemoveN1";
inline constexpr const char* GetSubDirectories2016 =
    "Brennick2021/08/31.AddFolder.GetSubDirectories2016";
inline constexpr const char* ReadFileToStringLine =
    "Tessamar2021/08/31.RFTSFSO.ReadFileToStringLine";
inline constexpr const char* ReadFileToStringFSOLine =
    "Tessamar2021/08/31.RFTSFSO.ReadFileToStringFSOLine";
inline constexpr const char* ReadFileToStringUTFLine =
    "Tessamar2021/08/31.RFTSFSO.ReadFileToStringUTFLine";
inline constexpr const char* SaveStringToFileFSO = "Tessamar2021/08/31.RFTSFSO.SaveStringToFileFSO";
inline constexpr const char* AppendStringFSO = "Tessamar2021/08/31.RFTSFSO.AppendStringFSO";

inline constexpr const char* all[] = {
    Form_Load,
    Form_QueryUnload,
    PushButton1_Click,
    PushButton2_Click,
    PushButton3_Click,
    PushButton5_Click,
    PushButton6_Click,
    PushButton7_Click,
    PushButton8_Click,
    PushButton9_Click,
    PushButton10_Click,
    PushButton11_Click,
    RemoveAllBlankLinesWrapper,
    RemoveContaining,
    RemoveNotContaining,
    RemoveContainingListview,
    RemoveNotContainingListview,
    RemoveN1,
    GetSubDirectories2016,
    ReadFileToStringLine,
    ReadFileToStringFSOLine,
    ReadFileToStringUTFLine,
    SaveStringToFileFSO,
    AppendStringFSO,
};

}  // namespace vn::loc
