// The program sovanta: one window over the shared application model.
#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QProcessEnvironment>
#include <QTranslator>

#include "SovantaApp/Components.h"
#include "SovantaApp/Models/AppModel.h"
#include "SovantaApp/SovantaApp.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sovanta"));
    QApplication::setDesktopFileName(QStringLiteral("sovanta"));
    QApplication::setQuitOnLastWindowClosed(true);
    QTranslator qtTexts;
    if (qtTexts.load(QStringLiteral("qtbase_da"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);
    sovanta::app::Style::setUpApplicationLook();
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("sovanta"), QIcon(QStringLiteral(":/sovanta.svg"))));

    auto& model = sovanta::app::AppModel::shared();
    sovanta::app::MainWindow window(model);
    sovanta::app::AppDelegate delegate(model);
    window.show();
    delegate.applicationDidFinishLaunching(QApplication::arguments(), QProcessEnvironment::systemEnvironment());
    return QApplication::exec();
}
