// Shared support of the dialog tests.
#include "tests/replay/replay_gui_support.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QTest>
#include <cstdlib>

#include "tests/support/record_writers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace kvreplay::test {
namespace {

std::string g_skipReason = "the GUI environment was not set up";
QString g_folder;

}  // namespace

struct GuiEnvironment::State {
  int argc;
  char** argv;
  kv::test::XvfbServer xvfb;
  std::vector<std::unique_ptr<kv::test::ScopedEnv>> environment;
  std::unique_ptr<QApplication> application;
  bool libraryStarted = false;
};

GuiEnvironment::GuiEnvironment(int argc, char** argv) : state_(std::make_unique<State>()) {
  state_->argc = argc;
  state_->argv = argv;
}

GuiEnvironment::~GuiEnvironment() = default;

void GuiEnvironment::SetUp() {
  const std::filesystem::path dir = kv::test::MakeUniqueTempDir("kvreplay-gui-");
  if (dir.empty()) {
    g_skipReason = "no temporary folder";
    return;
  }
  g_folder = QString::fromStdString(dir.string());
  std::string error;
  if (!kv::test::XvfbServer::Installed() || !state_->xvfb.Start(&error)) {
    g_skipReason = "Xvfb is not available: " + error;
    return;
  }
  QDir(g_folder).mkpath("runtime");
  QFile::setPermissions(g_folder + "/runtime",
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  auto set = [&](const char* name, const QString& value) {
    state_->environment.push_back(
        std::make_unique<kv::test::ScopedEnv>(name, value.toLocal8Bit().constData()));
  };
  set("DISPLAY", QString::fromStdString(state_->xvfb.DisplayName()));
  set("QT_QPA_PLATFORM", "xcb");
  set("HOME", g_folder);
  set("XDG_CONFIG_HOME", g_folder + "/config");
  set("XDG_RUNTIME_DIR", g_folder + "/runtime");
  set("KVNET_AUDIO_OUT", "null");
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, g_folder + "/config");
  state_->application = std::make_unique<QApplication>(state_->argc, state_->argv);

  QString loadError;
  if (!ApiSpy::Get().Load(QStringLiteral(KVNET_SHARED_LIBRARY), &loadError)) {
    g_skipReason = "the library did not load: " + loadError.toStdString();
    return;
  }
  ApiSpy::Get().Real().Startup(0, 0, nullptr, 0);
  state_->libraryStarted = true;
  g_skipReason.clear();
}

void GuiEnvironment::TearDown() {
  if (state_->libraryStarted) ApiSpy::Get().Real().Cleanup();
  state_->application.reset();
  state_->xvfb.Stop();
  state_->environment.clear();
  if (!g_folder.isEmpty()) QDir(g_folder).removeRecursively();
}

const std::string& GuiEnvironment::SkipReason() { return g_skipReason; }

void GuiEnvironment::DisableForThreadSanitizer() {
  g_skipReason =
      "Qt, GLib, libdbus and libxcb are not built with ThreadSanitizer, which reports races "
      "inside them; the dialog tests run in the other stages";
}
QString GuiEnvironment::Folder() { return g_folder; }

// ---- The recording spy ----

ApiSpy& ApiSpy::Get() {
  static ApiSpy spy;
  return spy;
}

namespace {

ApiSpy& S() { return ApiSpy::Get(); }
const KvNetApi& R() { return ApiSpy::Get().Real(); }

int KVNET_CALL SpyStartup(int a, int b, KVNET_EventCallback c, int d) {
  S().Record("Startup", nullptr);
  return R().Startup(a, b, c, d);
}
void KVNET_CALL SpyCleanup() {
  S().Record("Cleanup", nullptr);
  R().Cleanup();
}
KVNET_HANDLE KVNET_CALL SpyOpenFile(const char* path, KVNET_HWND window, int paused) {
  S().Record("OpenFile", nullptr, path != nullptr ? path : "", window);
  if (S().failOpenFile) return nullptr;
  return R().OpenFile(path, window, paused);
}
int KVNET_CALL SpyCloseFile(KVNET_HANDLE h) {
  S().Record("CloseFile", h);
  return R().CloseFile(h);
}
int KVNET_CALL SpyRefresh(KVNET_HANDLE h) {
  S().Record("ClientRefreshWnd", h);
  return R().ClientRefreshWnd(h);
}
int KVNET_CALL SpySetWnd(KVNET_HANDLE h, KVNET_HWND window) {
  S().Record("ClientSetWnd", h, {}, window);
  return R().ClientSetWnd(h, window);
}
int KVNET_CALL SpyPlayAudio(KVNET_HANDLE h) {
  S().Record("ClientPlayAudio", h);
  return S().playAudioResult >= 0 ? S().playAudioResult : R().ClientPlayAudio(h);
}
int KVNET_CALL SpyStopAudio(KVNET_HANDLE h) {
  S().Record("ClientStopAudio", h);
  return S().stopAudioResult >= 0 ? S().stopAudioResult : R().ClientStopAudio(h);
}
int KVNET_CALL SpyCapture(KVNET_HANDLE h, const char* path) {
  S().Record("ClientCapturePicture", h, path != nullptr ? path : "");
  return R().ClientCapturePicture(h, path);
}
int KVNET_CALL SpyPause(KVNET_HANDLE h) {
  S().Record("ReplayPause", h);
  return R().ReplayPause(h);
}
int KVNET_CALL SpyContinue(KVNET_HANDLE h) {
  S().Record("ReplayContinue", h);
  return R().ReplayContinue(h);
}
int KVNET_CALL SpyStep(KVNET_HANDLE h) {
  S().Record("ReplayStepByStep", h);
  return R().ReplayStepByStep(h);
}
int KVNET_CALL SpyFast(KVNET_HANDLE h) {
  S().Record("SpeedFast", h);
  return R().SpeedFast(h);
}
int KVNET_CALL SpySlow(KVNET_HANDLE h) {
  S().Record("SpeedSlow", h);
  return R().SpeedSlow(h);
}
unsigned KVNET_CALL SpyTotal(KVNET_HANDLE h) {
  S().Record("ReplayTotalTime", h);
  return R().ReplayTotalTime(h);
}
unsigned KVNET_CALL SpyCurrent(KVNET_HANDLE h) {
  S().Record("ReplayCurTime", h);
  return R().ReplayCurTime(h);
}
int KVNET_CALL SpySeek(KVNET_HANDLE h, unsigned seconds) {
  S().Record("ReplaySeek", h, {}, seconds);
  return R().ReplaySeek(h, seconds);
}

}  // namespace

bool ApiSpy::Load(const QString& path, QString* error) {
  if (!library_.Load({path}, error)) return false;
  real_ = library_.Api();
  spying_ = KvNetApi{SpyStartup,   SpyCleanup,   SpyOpenFile, SpyCloseFile, SpyRefresh,  SpySetWnd,
                     SpyPlayAudio, SpyStopAudio, SpyCapture,  SpyPause,     SpyContinue, SpyStep,
                     SpyFast,      SpySlow,      SpyTotal,    SpyCurrent,   SpySeek};
  return true;
}

void ApiSpy::Record(const char* name, KVNET_HANDLE handle, std::string text, int64_t value) {
  calls_.push_back(ApiCall{name, handle, std::move(text), value});
}

std::vector<std::string> ApiSpy::Names() const {
  std::vector<std::string> names;
  for (const ApiCall& call : calls_) names.push_back(call.name);
  return names;
}

std::vector<ApiCall> ApiSpy::CallsBesidesRedraws() const {
  std::vector<ApiCall> calls;
  for (const ApiCall& call : calls_) {
    if (call.name != "ClientRefreshWnd") calls.push_back(call);
  }
  return calls;
}

std::vector<std::string> ApiSpy::NamesBesidesRedraws() const {
  std::vector<std::string> names;
  for (const ApiCall& call : CallsBesidesRedraws()) names.push_back(call.name);
  return names;
}

int ApiSpy::Count(const std::string& name) const {
  int count = 0;
  for (const ApiCall& call : calls_) count += call.name == name;
  return count;
}

void ApiSpy::Reset() {
  calls_.clear();
  failOpenFile = false;
  playAudioResult = -1;
  stopAudioResult = -1;
}

// ---- Files, waiting and pixels ----

bool WriteBarsRecording(const QString& path, int pictures, uint32_t lastAtMs) {
  kv::test::StreamOptions options;
  options.width = 320;
  options.height = 240;
  options.pictures = pictures;
  options.frameRate = 25;
  kv::test::StoredStream stream = kv::test::MakeMjpegStream(options);
  if (lastAtMs != 0) {
    for (auto it = stream.units.rbegin(); it != stream.units.rend(); ++it) {
      if (it->kind == 0) {
        it->timeStamp = options.firstTimeStamp + lastAtMs;
        break;
      }
    }
  }
  return kv::test::WriteFileBytes(path.toStdString(),
                                  kv::test::WriteNativeBytes(stream, true, stream.videoCodec));
}

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
  return QTest::qWaitFor(pred, timeoutMs);
}

QImage GrabFromScreen(QWidget* widget) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr || widget == nullptr) return {};
  const QPoint origin = widget->mapToGlobal(QPoint(0, 0));
  return screen->grabWindow(0, origin.x(), origin.y(), widget->width(), widget->height())
      .toImage()
      .convertToFormat(QImage::Format_RGB32);
}

bool ShowsColourBars(const QImage& image, std::string* why) {
  // Bars of the test picture, left to right: which of red, green and blue are lit (75 %).
  static constexpr bool kLit[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                      {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
  if (image.width() < 16 || image.height() < 16) {
    *why = "no picture";
    return false;
  }
  // Row 24 of 240 holds only the bars (the counter squares sit on other rows).
  const int y = image.height() * 24 / 240;
  std::string seen;
  bool ok = true;
  for (int bar = 0; bar < 8; ++bar) {
    const int x = (2 * bar + 1) * image.width() / 16;
    const QColor c = image.pixelColor(x, y);
    const int rgb[3] = {c.red(), c.green(), c.blue()};
    for (int k = 0; k < 3; ++k) {
      if (kLit[bar][k] ? rgb[k] < 120 : rgb[k] > 70) ok = false;
    }
    seen += " (" + std::to_string(rgb[0]) + "," + std::to_string(rgb[1]) + "," +
            std::to_string(rgb[2]) + ")";
  }
  if (!ok) *why = "bars seen at row " + std::to_string(y) + ":" + seen;
  return ok;
}

// ---- The dialog fixture ----

void DialogTest::SetUp() {
  if (!GuiEnvironment::SkipReason().empty()) GTEST_SKIP() << GuiEnvironment::SkipReason();
  ApiSpy::Get().Reset();
  const std::filesystem::path dir = kv::test::MakeUniqueTempDir("kvreplay-dialog-");
  ASSERT_FALSE(dir.empty());
  folder_ = QString::fromStdString(dir.string());
}

void DialogTest::TearDown() {
  dialog_.reset();
  QApplication::processEvents();
  if (!folder_.isEmpty()) QDir(folder_).removeRecursively();
  ApiSpy::Get().Reset();
}

void DialogTest::MakeDialog(Language language) {
  dialog_.reset();
  dialog_ = std::make_unique<CKV_ReplayDlg>(ApiSpy::Get().Api(), language);
  CKV_ReplayDlg::Desktop& desktop = dialog_->desktop();
  desktop.messageBox = [this](QWidget*, const QString& text) { messages_ << text; };
  desktop.chooseFile = [this](QWidget*) { return chosenFile_; };
  desktop.openFolder = [this](const QUrl& folder) { openedFolders_ << folder.toLocalFile(); };
  desktop.now = [] { return QDateTime(QDate(2010, 5, 21), QTime(9, 8, 7)); };
  desktop.tickCount = [] { return 4321; };
  dialog_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
}

QString DialogTest::FilePath(const QString& name) const { return folder_ + "/" + name; }

}  // namespace kvreplay::test
