// The program sovanta: one window over the shared application model.
#include <QApplication>
#include <QProcessEnvironment>

#include "SovantaApp/Models/AppModel.h"
#include "SovantaApp/SovantaApp.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    sovanta::app::prepareApplication();
    auto& model = sovanta::app::AppModel::shared();
    sovanta::app::MainWindow window(model);
    sovanta::app::AppDelegate delegate(model);
    delegate.handleTerminationSignals();
    window.show();
    delegate.applicationDidFinishLaunching(QApplication::arguments(), QProcessEnvironment::systemEnvironment());
    return QApplication::exec();
}
