// A stand-in for the package's three editors: a window that names the
// command word it was started with and the editor it stands in for, closed
// with a button. The launcher needs nothing more from an editor.

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include <string_view>

namespace {

struct Editor {
    std::string_view commandWord;
    std::string_view executable;
    const char* title;  // UTF-8
};

constexpr Editor kEditors[] = {
    {"EXE_AVATARTOOL", "AvatarTool", "キャラクターエディタ"},
    {"EXE_STEPTOOL", "StepTool", "ダンスエディタ"},
    {"EXE_WARDROBETOOL", "WardrobeTool", "衣装エディタ"},
};

// The launcher passes the command word as the whole command line; started
// by hand, the program still knows from its own file name what it stands in
// for.
const Editor* editorFor(std::string_view commandWord, std::string_view executable) {
    for (const Editor& editor : kEditors)
        if (editor.commandWord == commandWord) return &editor;
    for (const Editor& editor : kEditors)
        if (editor.executable == executable) return &editor;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const QString commandWord = QString::fromLocal8Bit(argc > 0 ? argv[0] : "");
    QApplication app(argc, argv);
    const QByteArray executable =
        QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8();
    const QByteArray word = commandWord.toUtf8();
    const Editor* editor = editorFor(std::string_view(word.constData(), word.size()),
                                     std::string_view(executable.constData(), executable.size()));
    const QString title = editor ? QString::fromUtf8(editor->title) : QStringLiteral("エディタ");

    QWidget window;
    window.setWindowTitle(QStringLiteral("Groove×Deck ") + title);
    auto* layout = new QVBoxLayout(&window);
    auto* heading = new QLabel(title);
    QFont font = heading->font();
    font.setPointSizeF(font.pointSizeF() * 1.6);
    font.setBold(true);
    heading->setFont(font);
    heading->setAlignment(Qt::AlignCenter);
    layout->addWidget(heading);
    auto* command = new QLabel(QStringLiteral("起動コマンド: ") + commandWord);
    command->setObjectName(QStringLiteral("commandWord"));
    command->setAlignment(Qt::AlignCenter);
    command->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(command);
    auto* close = new QPushButton(QStringLiteral("閉じる"));
    QObject::connect(close, &QPushButton::clicked, &window, &QWidget::close);
    layout->addWidget(close);
    window.resize(360, 160);
    window.show();
    return app.exec();
}
