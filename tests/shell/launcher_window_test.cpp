// The launcher window driven through real Qt events on the offscreen platform.

#include "shell/launcher_window.h"

#include "install/registry.h"
#include "script/launcher_config.h"
#include "shell/launcher_log.h"
#include "support/ftp_server.h"
#include "support/gui_application.h"
#include "support/news_server.h"
#include "update/installation_lock.h"
#include "update/update_report.h"

#include "support/temp_dir.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Answers every message box with OK and remembers "caption: text"; `onBox`
// looks around while the box is up.
class BoxRecorder {
  public:
    BoxRecorder() {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                if (onBox) onBox();
                boxes.push_back((box->windowTitle() + ": " + box->text()).toStdString());
                box->accept();
            }
        });
        timer_.start();
    }
    std::vector<std::string> boxes;
    std::function<void()> onBox;

  private:
    QTimer timer_;
};

class LauncherWindowTest : public ::testing::Test {
  protected:
    LauncherWindowTest() {
        gdtest::guiApplication();
        fs::create_directories(serverRoot() / "update");
        fs::create_directories(install());
        gdtest::writeEncrypted(install() / "version.dat", "1.000000,1.000000");
    }

    fs::path serverRoot() const { return root_.path() / "server"; }
    fs::path install() const { return root_.path() / "install"; }
    fs::path logPath() const { return root_.path() / "state" / "launcher.log"; }

    // A window whose editors are copies of the recorder under their names.
    // `requireTls`: the installation asks for FTPS, which the server cannot do.
    std::unique_ptr<gd::LauncherWindow> openWindow(bool withServer, bool requireTls = false) {
        if (withServer) {
            gdtest::FtpServerOptions options;
            options.root = serverRoot();
            server_ = std::make_unique<gdtest::FtpServer>(options);
            config_.server = server_->record("/update");
            config_.server.ftpTls = requireTls;
            config_.server.signKeys = signKeys_;
        } else {
            config_.server.ftpAddress = "127.0.0.1:1";  // nothing listens there
        }
        config_.server.installedVersion = 1.0f;
        config_.secondVersion = 1.0f;
        gd::ToolTable tools{
            gd::ToolEntry{gd::kAvatarToolKind, (install() / "AvatarTool").string()},
            gd::ToolEntry{gd::kStepToolKind, (install() / "StepTool").string()},
            gd::ToolEntry{gd::kWardrobeToolKind, (install() / "WardrobeTool").string()}};
        for (const char* name : {"AvatarTool", "StepTool"})
            fs::copy_file(GD_EDITOR_RECORDER, install() / name,
                          fs::copy_options::overwrite_existing);
        auto window = std::make_unique<gd::LauncherWindow>(
            gd::LauncherContext{install().string() + "/", config_, tools, logPath(), reprobe_});
        window->show();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return window->connection() != gd::LauncherWindow::Connection::Connecting; },
            10000));
        return window;
    }

    void serveVersion(const char* latest) {
        gdtest::writeEncrypted(serverRoot() / "update" / "filelist.dat",
                               std::string("latest_version = ") + latest +
                                   "\nfunction filelist() patch.File('d', " + latest +
                                   ", 'p.zip') end\n");
    }

    static void click(gd::LauncherWindow& window, int button) {
        const auto& controls = gd::kButtonControls[button];
        const gd::PixelRect rect = gd::toPixels(controls);
        QTest::mouseClick(&window, Qt::LeftButton, {},
                          QPoint(rect.x + rect.width / 2, rect.y + rect.height / 2));
    }

    static bool hasBrowser(gd::LauncherWindow& window) {
        for (QWidget* child : window.findChildren<QWidget*>())
            if (child->inherits("QWebEngineView")) return true;
        return false;
    }

    static std::string statusText(gd::LauncherWindow& window) {
        for (QLabel* label : window.findChildren<QLabel*>())
            if (label->pixmap().isNull()) return label->text().toStdString();
        return {};
    }

    gdtest::TempDir root_;
    std::unique_ptr<gdtest::FtpServer> server_;
    gd::LauncherConfig config_;
    std::chrono::milliseconds reprobe_ = gd::kReprobeInterval;
    std::vector<gd::PublicKey> signKeys_;
};

TEST_F(LauncherWindowTest, FirstButtonStartsTheDanceEditorWhileTheWindowHides) {
    const fs::path record = root_.path() / "record.txt";
    qputenv("GD_EDITOR_RECORD", record.c_str());
    qputenv("GD_EDITOR_HOLD_MS", "600");
    auto window = openWindow(false);
    EXPECT_FALSE(window->online());
    EXPECT_EQ(statusText(*window), "オフライン");

    click(*window, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 3000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->isVisible(); }, 5000));
    const std::string recorded = gdtest::readFile(record);
    EXPECT_EQ(recorded.substr(0, recorded.find('\n')), "argv=EXE_STEPTOOL");
    EXPECT_NE(recorded.find("cwd=" + fs::current_path().string() + "\n"), std::string::npos);

    // The second button starts the character editor.
    click(*window, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 3000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->isVisible(); }, 5000));
    EXPECT_EQ(gdtest::readFile(record).substr(0, 20), "argv=EXE_AVATARTOOL\n");
    qunsetenv("GD_EDITOR_HOLD_MS");
}

TEST_F(LauncherWindowTest, TheNewsPageIsRequestedOnceWhenTheWindowOpensOnline) {
    serveVersion("1.0");
    gdtest::NewsServer news("<html><body>news</body></html>");
    config_.newsPageAddress = news.address("/news.php");
    ASSERT_TRUE(gd::writeRegistryValue(gd::RegistryScope::User, "AccountId", "a&b"));
    auto window = openWindow(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return hasBrowser(*window); }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !news.requests().empty(); }, 20000));
    EXPECT_EQ(news.requests()[0].body, "mode=news&id=a&b");

    // Hidden and shown again, as around an editor run: no second request.
    window->hide();
    window->show();
    QTest::qWait(1000);
    EXPECT_EQ(news.requests().size(), 1u);
}

TEST_F(LauncherWindowTest, TheLongestStatusTextFitsTheStatusLine) {
    auto window = openWindow(false);
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (!label->pixmap().isNull()) continue;
        for (const char* longest :
             {"アップデートファイルをダウンロード中", "ダウンロード再試行 16/16（1秒後）",
              "パッチファイルの適応に失敗しました。"})
            EXPECT_LE(label->fontMetrics().horizontalAdvance(QString::fromUtf8(longest)),
                      label->width())
                << longest;
    }
}

TEST_F(LauncherWindowTest, OfflineThereIsNoBrowserAndTheLogoShows) {
    auto window = openWindow(false);
    EXPECT_FALSE(hasBrowser(*window));
    bool logoShown = false;
    for (QLabel* label : window->findChildren<QLabel*>())
        logoShown |= !label->pixmap().isNull() && label->isVisible();
    EXPECT_TRUE(logoShown);
}

TEST_F(LauncherWindowTest, AMissingEditorGivesTheErrorBoxAndTheWindowStays) {
    BoxRecorder boxes;
    auto window = openWindow(false);
    click(*window, 2);  // WardrobeTool was never installed
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.boxes.empty(); }, 3000));
    EXPECT_EQ(boxes.boxes, std::vector<std::string>{"起動エラー: 起動できません"});
    EXPECT_TRUE(window->isVisible());
}

TEST_F(LauncherWindowTest, OfflineTheUpdateButtonsDoNothing) {
    BoxRecorder boxes;
    auto window = openWindow(false);
    click(*window, gd::kUpdateButton);
    click(*window, gd::kFileCheckButton);
    QTest::qWait(500);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(LauncherWindowTest, AFailedTlsConnectionIsOfflineWithABoxThatSaysWhy) {
    BoxRecorder boxes;
    serveVersion("1.1");
    auto window = openWindow(true, true);
    EXPECT_EQ(window->connection(), gd::LauncherWindow::Connection::Offline);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.boxes.empty(); }, 5000));
    EXPECT_TRUE(boxes.boxes[0].starts_with(
        "エラー: アップデートサーバーとの暗号化された接続を確立できませんでした。\n\n"))
        << boxes.boxes[0];
    EXPECT_NE(boxes.boxes[0].find("no secure connection"), std::string::npos) << boxes.boxes[0];
    QTest::qWait(500);
    EXPECT_EQ(boxes.boxes.size(), 1u);
}

TEST_F(LauncherWindowTest, ClickGuardsAreSeparatePerButton) {
    serveVersion("1.0");
    BoxRecorder boxes;
    auto window = openWindow(true);
    ASSERT_TRUE(window->online());
    EXPECT_EQ(statusText(*window), "オンライン");

    const auto nextBox = [&](std::size_t count) {
        return QTest::qWaitFor([&] { return boxes.boxes.size() >= count; }, 5000);
    };
    click(*window, gd::kUpdateButton);
    ASSERT_TRUE(nextBox(1));
    QTest::qWait(100);
    click(*window, gd::kUpdateButton);
    ASSERT_TRUE(nextBox(2));
    QTest::qWait(100);
    click(*window, gd::kFileCheckButton);
    ASSERT_TRUE(nextBox(3));
    QTest::qWait(100);
    click(*window, gd::kFileCheckButton);
    ASSERT_TRUE(nextBox(4));
    // The guard's box says how long to wait: whole seconds, at most the guard's.
    std::vector<std::string> shown;
    for (const std::string& box : boxes.boxes) {
        std::smatch seconds;
        if (std::regex_search(box, seconds, std::regex("[0-9]+"))) {
            EXPECT_LE(std::stoi(seconds.str()), 120) << box;
        }
        shown.push_back(std::regex_replace(box, std::regex("[0-9]+"), "N"));
    }
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "アップデート: お使いのシステムは最新です。",
                         "アップデート: しばらく時間を置いてから操作して下さい。\n\nあとN秒"
                         "お待ちください。",
                         "ファイルチェック: お使いのシステムは最新です。",
                         "ファイルチェック: しばらく時間を置いてから操作して下さい。\n\nあとN秒"
                         "お待ちください。"}));
}

TEST_F(LauncherWindowTest, ShowingTheWindowUpdatesOnItsOwn) {
    serveVersion("1.1");
    gdtest::TempDir stage;
    gdtest::writeFile(stage.path() / "news.txt", "1.1");
    gdtest::writeFile(root_.path() / "update.lua",
                      "function updater() update.copy('news.txt', 'news.txt') end");
    const std::string pack =
        std::string(GD_GDTOOL_PATH) + " pack '" + (serverRoot() / "update" / "p.zip").string() +
        "' '" + (root_.path() / "update.lua").string() + "' '" + stage.path().string() + "'";
    ASSERT_EQ(std::system(pack.c_str()), 0);

    BoxRecorder boxes;
    auto window = openWindow(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return statusText(*window) == "アップデート完了"; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->updating(); }, 2000));
    EXPECT_EQ(gdtest::readFile(install() / "news.txt"), "1.1");
    EXPECT_EQ(gdtest::readDecrypted(install() / "version.dat"), "1.100000,1.000000");
    EXPECT_TRUE(boxes.boxes.empty());

    // Hiding and showing again finds nothing newer and starts nothing.
    window->hide();
    window->show();
    QTest::qWait(300);
    EXPECT_EQ(statusText(*window), "アップデート完了");
}

// An operation that the installation refuses fails the archive, and the box
// says below its fixed text which path and why.
TEST_F(LauncherWindowTest, AFailedUpdateBoxSaysWhy) {
    serveVersion("1.1");
    gdtest::TempDir stage;
    gdtest::writeFile(stage.path() / "news.txt", "1.1");
    gdtest::writeFile(root_.path() / "update.lua",
                      "function updater() update.copy('news.txt', 'dup.txt') end");
    const std::string pack =
        std::string(GD_GDTOOL_PATH) + " pack '" + (serverRoot() / "update" / "p.zip").string() +
        "' '" + (root_.path() / "update.lua").string() + "' '" + stage.path().string() + "'";
    ASSERT_EQ(std::system(pack.c_str()), 0);
    gdtest::writeFile(install() / "Dup.txt", "a");
    gdtest::writeFile(install() / "DUP.TXT", "b");

    BoxRecorder boxes;
    auto window = openWindow(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.boxes.empty(); }, 10000));
    EXPECT_EQ(boxes.boxes, std::vector<std::string>{
                               "エラー: パッチファイルの適応に失敗しました。アップデートを終了し"
                               "ます。\n\ncopy news.txt to dup.txt: dup.txt: could be any of "
                               "DUP.TXT, Dup.txt, which differ in case only"});
    EXPECT_EQ(gdtest::readDecrypted(install() / "version.dat"), "1.000000,1.000000");
}

// While another run (gdtool's) holds the installation, the window's update
// ends at once: its status line and log say why, no box, nothing changed.
TEST_F(LauncherWindowTest, AnUpdateOfAnInstallationThatAnotherRunHoldsIsSaid) {
    serveVersion("1.1");
    const std::string dir = install().string() + "/";
    const gd::InstallationLock gdtoolRun(dir);
    BoxRecorder boxes;
    auto window = openWindow(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return statusText(*window) == std::string(gd::kBusyStatus); },
                                10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->updating(); }, 2000));
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(gdtest::readDecrypted(install() / "version.dat"), "1.000000,1.000000");
    window.reset();
    EXPECT_NE(gdtest::readFile(logPath()).find(" refused: " + gd::busyReason(dir)),
              std::string::npos);
}

// A staged launcher that lcopy cannot take is said once, not at every start;
// once lcopy is back, the next start hands it over; a launcher staged anew
// is said again.
TEST_F(LauncherWindowTest, AMissingCopierIsSaidOncePerStagedLauncher) {
    const std::string announced =
        "アップデート: "
        "本ランチャーをアップデートします。\n自動的に再起動しますのでお待ちください。";
    const std::string failed = "失敗: 失敗\n\n" + (install() / "lcopy").string() +
                               " cannot be started: No such file or directory";
    const struct {
        const char* step;
        bool copier;
        bool restage;
        bool handedOver;
        std::vector<std::string> boxes;
    } rows[] = {
        {"first start without lcopy", false, false, false, {announced, failed}},
        {"next start without lcopy", false, false, false, {}},
        {"a launcher staged anew", false, true, false, {announced, failed}},
        {"lcopy is back", true, false, true, {announced}},
    };
    gdtest::writeFile(install() / "GrooveDeck.new", "staged");
    qputenv("GD_EDITOR_RECORD", (root_.path() / "lcopy.txt").c_str());
    for (const auto& row : rows) {
        if (row.restage) {
            fs::remove(install() / "GrooveDeck.new");
            gdtest::writeFile(install() / "GrooveDeck.new", "staged again");
        }
        if (row.copier) fs::copy_file(GD_EDITOR_RECORDER, install() / "lcopy");
        BoxRecorder boxes;
        gd::LauncherWindow window(
            gd::LauncherContext{install().string() + "/", config_, {}, {}, gd::kReprobeInterval});
        EXPECT_EQ(window.finishStagedLauncherUpdate(), row.handedOver) << row.step;
        EXPECT_EQ(boxes.boxes, row.boxes) << row.step;
    }
}

// Why, where the window says that something went wrong: a refusal's reason
// on the box's second line and in the log, beside the source of each file.
TEST_F(LauncherWindowTest, ARefusalShowsItsReasonAndEveryRunIsLogged) {
    BoxRecorder boxes;
    serveVersion("1.1");
    signKeys_ = {gd::PublicKey{}};  // filelist.dat carries no signature
    auto window = openWindow(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.boxes.empty(); }, 10000));
    EXPECT_EQ(boxes.boxes[0],
              "エラー: サーバー上のファイルリストの取得に失敗しました。\n\nsignature of "
              "filelist.dat refused: there is no filelist.dat.minisig");
    window.reset();

    const std::string log = gdtest::readFile(logPath());
    EXPECT_NE(log.find(" start: installed version 1.000000 in " + install().string()), log.npos);
    EXPECT_NE(log.find(" online\n"), log.npos) << log;
    EXPECT_NE(log.find(" refused: signature of filelist.dat refused: there is no "
                       "filelist.dat.minisig\n"),
              log.npos)
        << log;

    // A second run appends, and names the source of the file it took.
    signKeys_.clear();
    window = openWindow(true);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return gdtest::readFile(logPath()).find("filelist.dat from ftp://") != log.npos; },
        10000));
    EXPECT_TRUE(gdtest::readFile(logPath()).starts_with(log));
}

// "Up to date" and "not yet" differ in the log: a newer release that this
// installation is not offered is named, and why.
TEST_F(LauncherWindowTest, TheLogNamesAReleaseNotOfferedYet) {
    gdtest::writeEncrypted(serverRoot() / "update" / "filelist.dat",
                           "latest_version = 1.0\nfunction filelist() end\n"
                           "--@stage 1.1 1.0 0 - p.zip\n");
    auto window = openWindow(true);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return gdtest::readFile(logPath()).find(
                       " withheld 1.100000: halted: offered to no more installations\n") !=
                   std::string::npos;
        },
        10000))
        << gdtest::readFile(logPath());
}

TEST_F(LauncherWindowTest, ALongLogMovesAsideAtStart) {
    fs::create_directories(logPath().parent_path());
    gdtest::writeFile(logPath(), std::string(gd::kLogRotateSize, 'x'));
    auto window = openWindow(false);
    EXPECT_EQ(fs::file_size(fs::path(logPath()) += ".1"), gd::kLogRotateSize);
    EXPECT_LT(fs::file_size(logPath()), 4096u);
}

TEST_F(LauncherWindowTest, OfflineItAsksAgainAndTurnsOnlineWhenTheServerAnswers) {
    reprobe_ = std::chrono::milliseconds(200);
    serveVersion("1.0");
    fs::rename(serverRoot() / "update", serverRoot() / "later");  // the folder is not there yet
    auto window = openWindow(true);
    ASSERT_EQ(window->connection(), gd::LauncherWindow::Connection::Offline);
    QTest::qWait(500);
    EXPECT_EQ(window->connection(), gd::LauncherWindow::Connection::Offline);
    fs::rename(serverRoot() / "later", serverRoot() / "update");
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->online(); }, 10000));
    EXPECT_EQ(statusText(*window), "オンライン");
}

TEST_F(LauncherWindowTest, AServerThatDiesWhileOnlineDoesNotAnswerRatherThanTheInternetBeingGone) {
    serveVersion("1.0");
    BoxRecorder boxes;
    auto window = openWindow(true);
    ASSERT_TRUE(window->online());
    const std::string address = config_.server.ftpAddress;
    server_.reset();
    click(*window, gd::kUpdateButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.boxes.empty(); }, 10000));
    EXPECT_TRUE(boxes.boxes[0].starts_with(
        "アップデートエラー: アップデートサーバーが応答しません。\n\nthe update server " + address +
        " does not answer"))
        << boxes.boxes[0];
}

// A check that reached the server but could not read its list is no news
// that the system is up to date.
TEST_F(LauncherWindowTest, AListThatCannotBeReadIsSaidRatherThanUpToDate) {
    serveVersion("1.0");
    BoxRecorder boxes;
    auto window = openWindow(true);
    ASSERT_TRUE(window->online());
    fs::remove(serverRoot() / "update" / "filelist.dat");
    click(*window, gd::kFileCheckButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.boxes.empty(); }, 10000));
    EXPECT_EQ(boxes.boxes[0],
              "エラー: サーバー上のファイルリストの取得に失敗しました。\n\nfilelist.dat cannot be "
              "fetched from ftp://" +
                  config_.server.ftpAddress + "/update");
    QTest::qWait(300);
    EXPECT_EQ(boxes.boxes.size(), 1u);
}

// Only the window itself is shown when it maps: a child shown with it would
// have Qt start its accessibility bridge (a D-Bus connection, with a
// dbus-launch where no session bus runs) before the map rather than after.
TEST_F(LauncherWindowTest, NothingButTheWindowIsShownWithItsMap) {
    struct FirstShow : QObject {
        std::size_t children = 0;
        bool seen = false;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Show && !seen) {
                seen = true;
                children = watched->findChildren<QWidget*>().size();
            }
            return false;
        }
    } firstShow;
    gd::LauncherWindow window(gd::LauncherContext{install().string() + "/", config_, {}, {}});
    window.installEventFilter(&firstShow);
    window.show();
    ASSERT_TRUE(firstShow.seen);
    EXPECT_EQ(firstShow.children, 0u);
    // The status line, the progress bar and the news area join right after.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.findChildren<QWidget*>().empty(); }, 2000));
}

TEST_F(LauncherWindowTest, TheTitleShowsTheInstalledVersion) {
    auto window = openWindow(false);
    EXPECT_EQ(window->windowTitle().toStdString(), "Groove×Deck Ver.1.0");
}

TEST_F(LauncherWindowTest, OnlineWithoutANewsAddressTheLogoStays) {
    serveVersion("1.0");
    auto window = openWindow(true);
    ASSERT_TRUE(window->online());
    QTest::qWait(500);
    EXPECT_FALSE(hasBrowser(*window));
    bool logoShown = false;
    for (QLabel* label : window->findChildren<QLabel*>())
        logoShown |= !label->pixmap().isNull() && label->isVisible();
    EXPECT_TRUE(logoShown);
}

// A run that applies 1.1 (which installs a config.dat trusting a publisher
// key) and then fails at 1.2 leaves the installation at 1.1 and signed: the
// window's next check starts from there, not from what it loaded at start,
// so it asks for the list's signature and fetches 1.2 alone.
TEST_F(LauncherWindowTest, TheNextCheckStartsFromWhatAFailedRunLeft) {
    const fs::path update = serverRoot() / "update";
    const auto shell = [](const std::string& command) {
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    };
    const std::string gdtool = GD_GDTOOL_PATH;
    const std::string pub = (root_.path() / "key.pub").string();
    const std::string sec = (root_.path() / "key.sec").string();
    shell(gdtool + " keygen '" + pub + "' '" + sec + "' > /dev/null");
    const std::string key = [&] {
        const std::string text = gdtest::readFile(pub);
        return text.substr(text.find('\n') + 1,
                           text.find('\n', text.find('\n') + 1) - text.find('\n') - 1);
    }();
    const auto pack = [&](const std::string& archive, const std::string& file,
                          const std::string& bytes) {
        gdtest::TempDir stage;
        gdtest::writeFile(stage.path() / file, bytes);
        gdtest::writeFile(root_.path() / "update.lua",
                          "function updater() update.copy('" + file + "', '" + file + "') end");
        shell(gdtool + " pack '" + (update / archive).string() + "' '" +
              (root_.path() / "update.lua").string() + "' '" + stage.path().string() + "'");
    };
    pack("p110.zip", "config.dat", gdtest::enciphered("DUREDOR_SIGN_KEY = [[" + key + "]]\n"));
    gdtest::writeFile(update / "p120.zip", "not an archive");
    gdtest::writeEncrypted(update / "filelist.dat",
                           "latest_version = 1.2\nfunction filelist() patch.File('a', 1.1, "
                           "'p110.zip') patch.File('b', 1.2, 'p120.zip') end\n");

    // While the failure's box is up, the title and the log have what the run
    // recorded; the log has the failure once.
    BoxRecorder boxes;
    std::string titleAtBox;
    std::string logAtBox;
    std::unique_ptr<gd::LauncherWindow> window;
    boxes.onBox = [&] {
        if (!window) return;
        titleAtBox = window->windowTitle().toStdString();
        logAtBox = gdtest::readFile(logPath());
    };
    window = openWindow(true);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            // The status line says what failed: not the download.
            return statusText(*window) == "パッチの展開に失敗しました。" && !window->updating();
        },
        20000));
    EXPECT_EQ(gdtest::readDecrypted(install() / "version.dat"), "1.100000,1.000000");
    EXPECT_EQ(titleAtBox, "Groove×Deck Ver.1.1");
    EXPECT_NE(logAtBox.find(" update failed (installed version 1.100000)\n"), logAtBox.npos)
        << logAtBox;
    const std::string log = gdtest::readFile(logPath());
    int failures = 0;
    for (auto at = log.find("update failed"); at != log.npos;
         at = log.find("update failed", at + 1))
        ++failures;
    EXPECT_EQ(failures, 1) << log;

    // A sound 1.2 now, and the list and it signed with the key 1.1 installed.
    pack("p120.zip", "two.txt", "2");
    shell(gdtool + " sign '" + sec + "' '" + (update / "filelist.dat").string() + "' '" +
          (update / "p120.zip").string() + "' > /dev/null");
    const std::size_t before = server_->arguments("RETR").size();
    window->hide();
    window->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return statusText(*window) == "アップデート完了"; }, 20000));
    const auto all = server_->arguments("RETR");
    const std::set<std::string> fetched(all.begin() + static_cast<std::ptrdiff_t>(before),
                                        all.end());
    EXPECT_TRUE(fetched.contains("filelist.dat.minisig"));
    EXPECT_TRUE(fetched.contains("p120.zip"));
    EXPECT_FALSE(fetched.contains("p110.zip"));
    EXPECT_EQ(gdtest::readDecrypted(install() / "version.dat"), "1.200000,1.000000");
}

}  // namespace
