#include "Constant.h"

#include <QApplication>
#include <QMainWindow>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Vorpane"));
    QApplication::setApplicationName(QStringLiteral("Vorpane"));
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Vorpane for MAC"));
    window.show();
    return QApplication::exec();
}
