#include "AppContext.h"
#include "AppDelegate.h"
#include "BatchJournal.h"
#include "BatchSession.h"
#include "ConsoleLog.h"
#include "Constant.h"
#include "CreditRecord.h"
#include "DesktopIntegration.h"
#include "DesktopUrlOpener.h"
#include "KeychainKeyStore.h"
#include "Notifier.h"
#include "ScreenshotMode.h"
#include "ServiceSession.h"
#include "SessionBus.h"
#include "SettingsStore.h"
#include "SingleInstance.h"
#include "UiResources.h"
#include "UserDefaultKeys.h"
#include "ViewController.h"
#include "WidgetAlertPresenter.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTimer>
#include <cstdio>

namespace {

struct Options {
    QCommandLineOption serviceUrl{
        QStringLiteral("service-url"),
        QStringLiteral("Base URL of the service API, for example http://127.0.0.1:8080/api/v1/ "
                       "(https, or plain http to this computer)."),
        QStringLiteral("URL")};
    QCommandLineOption caFile{
        QStringLiteral("ca-file"),
        QStringLiteral("Also trust the certificate authorities in this PEM file (a service with "
                       "a certificate of its own), beside the one of the settings."),
        QStringLiteral("FILE")};
    QCommandLineOption verbose{
        QStringLiteral("verbose"),
        QStringLiteral("Print the diagnostic lines of the service conversation and the window.")};
};

void describe(QCommandLineParser& parser, const Options& options) {
    parser.setApplicationDescription(QStringLiteral(
        "Removes the backgrounds of photos in batches through the Vorpane service."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(options.serviceUrl);
    parser.addOption(options.caFile);
    parser.addOption(options.verbose);
    parser.addPositionalArgument(
        QStringLiteral("paths"),
        QStringLiteral("Images or folders to queue, as if dropped on the window."),
        QStringLiteral("[paths...]"));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationVersion(QStringLiteral(VORPANE_VERSION));
    // The help and a refused service address need no display: they are answered before the
    // application object exists (it would fail without one). Qt's own options, which that
    // object reads, are not known here; the arguments are read again once it has removed them.
    {
        QStringList arguments;
        for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
        QCommandLineParser early;
        const Options options;
        describe(early, options);
        early.parse(arguments);
        if (early.isSet(QStringLiteral("help"))) {
            QString help = early.helpText();
            help.replace(QStringLiteral("<executable_name>"), QStringLiteral("vorpane"));
            std::fputs(qPrintable(help), stdout);
            return 0;
        }
        if (early.isSet(QStringLiteral("version"))) {
            std::printf("vorpane %s\n", VORPANE_VERSION);
            return 0;
        }
        QString error;
        if (early.isSet(options.serviceUrl) &&
            !Constant::fromServiceUrl(early.value(options.serviceUrl), &error)) {
            std::fprintf(stderr, "vorpane: the service URL is refused: %s\n", qPrintable(error));
            return 2;
        }
    }

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Vorpane"));
    QApplication::setApplicationName(QStringLiteral("Vorpane"));
    QApplication::setQuitOnLastWindowClosed(true);  // closing the window ends the application
    initVorpaneUiResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/vorpane.svg")));

    QCommandLineParser parser;
    const Options options;
    describe(parser, options);
    parser.process(app);
    if (parser.isSet(options.verbose)) ConsoleLog::enableVerbose();
    Constant service = Constant::defaults();
    if (parser.isSet(options.serviceUrl))
        service = *Constant::fromServiceUrl(parser.value(options.serviceUrl));

    // One window per profile: a second launch gives its files to the first and ends.
    SingleInstance instance(BatchJournal::defaultPath());
    if (!instance.claim()) {
        if (instance.handOver(parser.positionalArguments())) return 0;
        std::fprintf(stderr,
                     "vorpane: another Vorpane window (process %lld) holds this batch but does "
                     "not answer; close it, or end that process.\n",
                     static_cast<long long>(instance.holder()));
        return 1;
    }

    SettingsStore settings;
    KeychainKeyStore keychain;
    settings.useKeyStore(&keychain);  // the launch waits for its answer
    CreditRecord credits;
    Notifier notifier;
    WidgetAlertPresenter alerts;
    DesktopUrlOpener opener;
    AppContext context{settings, credits, notifier, alerts, opener, service};
    ServiceSession session;
    QString untrusted;
    if (!session.trustCaFile(ServiceSession::TrustSource::CommandLine, parser.value(options.caFile),
                             &untrusted)) {
        std::fprintf(stderr, "vorpane: %s\n", qPrintable(untrusted));
        return 2;
    }
    // A stored one that went missing is said once the window is up; the others still work.
    if (!session.trustCaFile(ServiceSession::TrustSource::Setting,
                             settings.string(UserDefaultKeys::caFile).value_or(QString()),
                             &untrusted))
        QTimer::singleShot(0, [&alerts, why = untrusted] {
            alerts.showAlert(why.left(1).toUpper() + why.mid(1) + QLatin1Char('.'));
        });

    BatchSession batch(context, session);
    ViewController window(context, session, batch);
    alerts.setWindow(&window);
    SessionBus bus;
    window.desktop().setBus(&bus);
    batch.keepJournal(BatchJournal::defaultPath());  // before the command line's files
    AppDelegate delegate(window);
    window.show();

    instance.onPaths([&window](const QStringList& handed) {
        if (!handed.isEmpty()) window.queue().admitPaths(handed, /*dropped*/ true);
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    const QStringList paths = parser.positionalArguments();
    if (!paths.isEmpty())
        QTimer::singleShot(
            0, &window, [&window, paths] { window.queue().admitPaths(paths, /*dropped*/ true); });
    ScreenshotMode::installFromEnvironment(window);
    return QApplication::exec();
}
