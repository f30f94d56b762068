// The program sovanta. The window comes later; for now it starts the
// application object and loads Qt's Danish texts.
#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Sovanta");
    QApplication::setQuitOnLastWindowClosed(true);
    QTranslator qtTexts;
    if (qtTexts.load("qtbase_da", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);
    return 0;
}
