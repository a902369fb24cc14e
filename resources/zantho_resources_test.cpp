#include "resources/zantho_resources.h"

#include <gtest/gtest.h>

#include <cctype>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

// Windows' own values of the styles the dialog uses.
constexpr uint32_t kWsPopup = 0x80000000, kWsChild = 0x40000000, kWsVisible = 0x10000000, kWsCaption = 0x00C00000,
                   kWsBorder = 0x00800000, kWsSysMenu = 0x00080000, kWsGroup = 0x00020000,
                   kWsMinimizeBox = 0x00020000, kWsTabStop = 0x00010000;
constexpr uint32_t kDsFixedSys = 0x0008, kDsSetFont = 0x0040, kDsModalFrame = 0x0080, kDsCenter = 0x0800;
constexpr uint32_t kPbsSmooth = 0x0001, kSsLeft = 0x0000, kBsPushButton = 0x0000;

struct Texts {
  const wchar_t* english;
  const wchar_t* simplified;
  const wchar_t* traditional;
};

// The string table as the launcher's documentation gives it.
const std::map<uint32_t, Texts> kStringTable = {
    {201, {L"zantho games", L"榛禾游戏", L"榛禾遊戲"}},
    {202, {L"test", L"测试", L"测试"}},
    {203, {L"Synchronize index data...", L"同步索引数据...", L"同步索引數據..."}},
    {204, {L"Synchronize metadata...", L"同步元数据...", L"同步元數據..."}},
    {205, {L"Sync file package...", L"同步文件包...", L"同步檔包..."}},
    {206, {L"Expand file...", L"展开文件...", L"展開檔..."}},
    {207, {L"Copy file...", L"拷贝文件...", L"拷貝檔..."}},
    {208, {L"Try to start...", L"尝试启动...", L"嘗試啟動..."}},
    {209, {L"The client is already running.", L"已有客户端运行。", L"已有客戶端運行。"}},
    {210,
     {L"If the startup fails, you can restart zantho.exe to try again. If the problem remains, please visit the our "
      L"community for help.",
      L"启动失败，可以重启zantho.exe以再次尝试, 若问题始终存在, 请访问榛禾社区寻求帮助。",
      L"啟動失敗，可以重啟zantho.exe以再次嘗試, 若問題始終存在, 請訪問榛禾社區尋求幫助。"}},
    {211, {L"OKAY", L"OKAY", L"OKAY"}},
    {212, {L"Component initialization error", L"组件初始化错误", L"組件初始化錯誤"}},
    {213, {L"File format error", L"文件格式错误", L"檔格式錯誤"}},
    {214, {L"Index file format error", L"索引文件格式错误", L"索引檔格式錯誤"}},
    {215, {L"Metafile format error", L"元文件格式错误", L"元檔格式錯誤"}},
    {216, {L"Metafile format error (i)", L"元文件格式错误(i)", L"元檔格式錯誤(i)"}},
    {217, {L"Metafile format error (m)", L"元文件格式错误(m)", L"元檔格式錯誤(m)"}},
    {218, {L"Compressed file format error", L"压缩文件格式错误", L"壓縮檔格式錯誤"}},
    {219, {L"Installation file format error", L"安装文件格式错误", L"安裝檔格式錯誤"}},
    {220, {L"File operation error", L"文件操作错误", L"檔操作錯誤"}},
    {221, {L"File access error", L"文件访问错误", L"檔訪問錯誤"}},
    {222, {L"File extraction error", L"文件解压错误", L"檔解壓錯誤"}},
    {223, {L"File copy error", L"文件拷贝错误", L"檔拷貝錯誤"}},
    {224, {L"Unable to connect to update server", L"无法连接更新服务器", L"無法連接更新伺服器"}},
    {225, {L"Unable to connect to the download server", L"无法连接下载服务器", L"無法連接下載伺服器"}},
    {226, {L"Download module initialization error", L"下载模块初始化错误", L"下載模組初始化錯誤"}},
    {227, {L"Download module process error", L"下载模块过程错误", L"下載模組過程錯誤"}},
    {228, {L"Network anomaly (i)", L"网络异常(i)", L"網路異常(i)"}},
    {229, {L"Network anomaly (m)", L"网络异常(m)", L"網路異常(m)"}},
    {230, {L"Network anomaly (z)", L"网络异常(z)", L"網路異常(z)"}},
    {231, {L"Download timeout", L"下载超时", L"下載超時"}},
    {232, {L"Certificate error", L"证书错误", L"證書錯誤"}},
    {233, {L"Core component missing error", L"核心组件缺失错误", L"核心組件缺失錯誤"}},
    {234, {L"Core component failed to start error", L"核心组件无法启动错误", L"核心組件無法啟動錯誤"}},
    {235, {L"unknown mistake", L"未知错误", L"未知錯誤"}},
    {236, {L"Network Error", L"网络错误", L"網路錯誤"}},
    {237, {L"server maintenance", L"服务器维护", L"伺服器維護"}},
    {238, {L"Request version information error", L"请求版本信息错误", L"請求版本資訊錯誤"}},
    {239, {L"Request version is not supported", L"请求版本不支持", L"請求版本不支持"}},
    {240, {L"Request version not available", L"请求版本不提供", L"請求版本不提供"}},
    {241, {L"Internal function error", L"内部功能错误", L"內部功能錯誤"}},
};

TEST(ZanthoResources, StringTableHoldsEveryTextInEachLanguageOnce) {
  std::map<std::pair<uint32_t, uint16_t>, std::wstring> compiled;
  for (size_t i = 0; i < zantho_resources.string_count; ++i) {
    const platform::StringResource& entry = zantho_resources.strings[i];
    EXPECT_TRUE(compiled.emplace(std::make_pair(entry.id, entry.language), entry.text).second)
        << "string " << entry.id << " given twice in language " << entry.language;
  }
  EXPECT_EQ(compiled.size(), 41u * 3);
  for (const auto& [id, texts] : kStringTable) {
    for (auto [language, text] : {std::pair{platform::LANG_ENGLISH_US, texts.english},
                                  std::pair{platform::LANG_CHINESE_SIMPLIFIED, texts.simplified},
                                  std::pair{platform::LANG_CHINESE_TRADITIONAL, texts.traditional}}) {
      auto found = compiled.find({id, language});
      ASSERT_NE(found, compiled.end()) << "string " << id << " missing in language " << language;
      EXPECT_EQ(found->second, text) << "string " << id << " in language " << language;
    }
  }
}

struct Control {
  int id;
  const char* class_name;  // Windows compares class names without regard to case
  uint32_t style;
  int x, y, width, height;
};

std::string lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

TEST(ZanthoResources, Dialog104HasTheSameLayoutInEveryLanguage) {
  struct Language {
    uint16_t id;
    const char* caption;
    const char* label;
    const char* cancel;
  };
  const Language languages[] = {
      {platform::LANG_ENGLISH_US, "Zantho", "Zantho is Updating", "Cancel"},
      {platform::LANG_CHINESE_SIMPLIFIED, "榛禾游戏", "正在更新榛禾游戏 ...", "取消"},
      {platform::LANG_CHINESE_TRADITIONAL, "榛禾遊戲", "正在更新榛禾遊戲...", "取消"},
  };
  const Control controls[] = {
      {1001, "msctls_progress32", kWsChild | kWsVisible | kWsBorder | kPbsSmooth, 13, 25, 275, 12},
      {-1, "static", kWsChild | kWsVisible | kWsGroup | kSsLeft, 15, 11, 93, 8},
      {2, "button", kWsChild | kWsVisible | kWsTabStop | kBsPushButton, 239, 43, 50, 14},
      {1005, "static", kWsChild | kWsVisible | kWsGroup | kSsLeft, 16, 45, 217, 8},
  };
  EXPECT_EQ(zantho_resources.dialog_count, std::size(languages));
  for (const Language& language : languages) {
    SCOPED_TRACE(language.id);
    const platform::DialogTemplate* dialog = nullptr;
    for (size_t i = 0; i < zantho_resources.dialog_count; ++i) {
      if (zantho_resources.dialogs[i].id == 104 && zantho_resources.dialogs[i].language == language.id) {
        dialog = &zantho_resources.dialogs[i];
      }
    }
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->style, kWsPopup | kWsCaption | kWsSysMenu | kWsMinimizeBox | kDsCenter | kDsModalFrame |
                                 kDsSetFont | kDsFixedSys);
    EXPECT_EQ(dialog->ex_style, 0u);
    EXPECT_EQ((std::vector<int>{dialog->x, dialog->y, dialog->width, dialog->height}),
              (std::vector<int>{0, 0, 303, 68}));
    EXPECT_STREQ(dialog->caption, language.caption);
    EXPECT_STREQ(dialog->font_name, "MS Shell Dlg");
    EXPECT_EQ(dialog->font_points, 8);
    EXPECT_EQ(dialog->font_weight, 400);
    EXPECT_FALSE(dialog->font_italic);
    EXPECT_EQ(dialog->font_charset, 1);
    ASSERT_EQ(dialog->item_count, std::size(controls));
    const char* texts[] = {nullptr, language.label, language.cancel, nullptr};
    for (size_t i = 0; i < std::size(controls); ++i) {
      const platform::DialogItemTemplate& item = dialog->items[i];
      const Control& expected = controls[i];
      SCOPED_TRACE(expected.id);
      EXPECT_EQ(item.id, expected.id);
      EXPECT_EQ(lower(item.class_name), expected.class_name);
      EXPECT_STREQ(item.text, texts[i]);
      EXPECT_EQ(item.style, expected.style);
      EXPECT_EQ(item.ex_style, 0u);
      EXPECT_EQ((std::vector<int>{item.x, item.y, item.width, item.height}),
                (std::vector<int>{expected.x, expected.y, expected.width, expected.height}));
    }
  }
}

}  // namespace
