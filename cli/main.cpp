#include "AppContext.h"
#include "BatchSession.h"
#include "CliRun.h"
#include "ConsoleAlerts.h"
#include "ConsoleLog.h"
#include "Constant.h"
#include "CreditRecord.h"
#include "InputPlan.h"
#include "Notifier.h"
#include "PaidLedger.h"
#include "Report.h"
#include "ServiceSession.h"
#include "SettingsStore.h"
#include "UserDefaultKeys.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

const char* const kExitStatuses =
    "\nExit status:\n"
    "  0    every image was saved (or skipped because its result exists)\n"
    "  1    some images failed or were not sent\n"
    "  2    bad usage: unknown option or value, missing input, unsafe service URL, no API key,\n"
    "       an output folder that takes no file, a certificate authority file that cannot\n"
    "       be used, or a version that must be updated\n"
    "  3    the run halted: the service could not be reached (after retries), or its\n"
    "       certificate could not be trusted (at once; nothing was sent)\n"
    "  4    out of credit\n"
    "  5    the API key was refused\n"
    "  130  stopped with Ctrl+C (the images on their way were saved)\n"
    "\nCtrl+C (or SIGTERM) stops: nothing new is sent, the images on their way finish and are\n"
    "saved. A second Ctrl+C quits at once; no partial file is left.\n"
    "\nThe API key is read from VORPANE_API_KEY, else from --api-key-file, else from the key\n"
    "stored by the Vorpane window; it is never given on the command line.\n";

// Ctrl+C and termination requests reach the event loop through a pipe; the second one ends the
// process at once.
int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_signals = 0;

extern "C" void onSignal(int sig) {
    if (++g_signals > 1) {
        std::signal(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

int usage(const QString& text) {
    std::fprintf(stderr, "vorpane-cli: %s\nTry 'vorpane-cli --help'.\n", qPrintable(text));
    return CliRun::BadUsage;
}

struct Options {
    QCommandLineOption output{{"o", "output"},
                              "Folder the results go to (default: the output folder of the "
                              "settings, else Downloads); created when missing.",
                              "DIR"};
    QCommandLineOption format{"format", "Result format: png (default) or jpg.", "png|jpg", "png"};
    QCommandLineOption color{"color",
                             "A colored background instead of a transparent one. A jpg without "
                             "a color gets white.",
                             "#RRGGBB"};
    QCommandLineOption jobs{{"j", "jobs"},
                            "Images in flight at once, 1 to 8 (default: the setting \"Images at "
                            "a time\").",
                            "N"};
    QCommandLineOption serviceUrl{"service-url",
                                  "Base URL of the service API (https, or plain http to this "
                                  "computer).",
                                  "URL"};
    QCommandLineOption caFile{"ca-file",
                              "Also trust the certificate authorities in this PEM file (a service "
                              "with a certificate of its own), beside the one of the window's "
                              "settings.",
                              "FILE"};
    QCommandLineOption apiKeyFile{"api-key-file",
                                  "Read the API key from this file (when VORPANE_API_KEY is "
                                  "not set).",
                                  "FILE"};
    QCommandLineOption recursive{{"r", "recursive"},
                                 "Sub-folders too; the output folder mirrors the input tree."};
    QCommandLineOption skipExisting{"skip-existing",
                                    "Do not send an image whose result, made with the same "
                                    "options, is still in the output folder as it was saved."};
    QCommandLineOption nameFrom{"name-from",
                                "Name results after the photo (default) or after the service's "
                                "result.",
                                "photo|service", "photo"};
    QCommandLineOption dryRun{{"n", "dry-run"},
                              "List what would be sent and the credits left; send nothing."};
    QCommandLineOption json{"json",
                            "One JSON object per image on standard output (source, output, "
                            "status, text, width, height), then a summary object."};
    QCommandLineOption quiet{{"q", "quiet"}, "No progress; only alerts and errors."};
    QCommandLineOption version{"version", "Show the version."};
    QCommandLineOption help{{"h", "help"}, "Show this help."};
};

// The key from the environment, else from the file, else the stored one.
QString resolveKey(const QCommandLineParser& parser, const Options& options,
                   const SettingsStore& stored, QString* error) {
    const QString fromEnvironment = qEnvironmentVariable("VORPANE_API_KEY").trimmed();
    if (!fromEnvironment.isEmpty()) return fromEnvironment;
    if (parser.isSet(options.apiKeyFile)) {
        QFile file(parser.value(options.apiKeyFile));
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("the key file cannot be read: %1").arg(file.errorString());
            return QString();
        }
        const QString key =
            QString::fromUtf8(file.read(4096)).section(QLatin1Char('\n'), 0, 0).trimmed();
        if (key.isEmpty()) *error = QStringLiteral("the key file holds no key");
        return key;
    }
    return stored.apiKey().trimmed();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorpane-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORPANE_VERSION));
    ConsoleLog::setEnabled(false);  // standard output carries the results

    QCommandLineParser parser;
    const Options options;
    parser.setApplicationDescription(
        QStringLiteral("Removes the backgrounds of photos in batches through the Vorpane service, "
                       "without a window."));
    parser.addOptions({options.output, options.format, options.color, options.jobs,
                       options.serviceUrl, options.caFile, options.apiKeyFile, options.recursive,
                       options.skipExisting, options.nameFrom, options.dryRun, options.json,
                       options.quiet, options.version, options.help});
    parser.addPositionalArgument(QStringLiteral("paths"),
                                 QStringLiteral("Images, or folders of png and jpg images."),
                                 QStringLiteral("FILE|FOLDER..."));
    if (!parser.parse(QCoreApplication::arguments())) return usage(parser.errorText());
    if (parser.isSet(options.help)) {
        QString help = parser.helpText();
        help.replace(QCoreApplication::arguments().constFirst(), QStringLiteral("vorpane-cli"));
        std::fputs(qPrintable(help), stdout);
        std::fputs(kExitStatuses, stdout);
        return 0;
    }
    if (parser.isSet(options.version)) {
        std::printf("vorpane-cli %s\n", VORPANE_VERSION);
        return 0;
    }

    const QString format = parser.value(options.format);
    if (format != QLatin1String("png") && format != QLatin1String("jpg"))
        return usage(QStringLiteral("--format must be png or jpg, not \"%1\"").arg(format));
    QString color;
    if (parser.isSet(options.color)) {
        color = parser.value(options.color).toUpper();
        if (!QRegularExpression(QStringLiteral("^#[0-9A-F]{6}$")).match(color).hasMatch())
            return usage(QStringLiteral("--color wants #RRGGBB, not \"%1\"")
                             .arg(parser.value(options.color)));
    }
    const QString nameFrom = parser.value(options.nameFrom);
    if (nameFrom != QLatin1String("photo") && nameFrom != QLatin1String("service"))
        return usage(
            QStringLiteral("--name-from must be photo or service, not \"%1\"").arg(nameFrom));
    int jobs = 0;
    if (parser.isSet(options.jobs)) {
        bool ok = false;
        jobs = parser.value(options.jobs).toInt(&ok);
        if (!ok || jobs < 1 || jobs > SettingsStore::kMaxImagesAtATime)
            return usage(QStringLiteral("--jobs wants a number from 1 to %1")
                             .arg(SettingsStore::kMaxImagesAtATime));
    }
    Constant service = Constant::defaults();
    if (parser.isSet(options.serviceUrl)) {
        QString why;
        const auto chosen = Constant::fromServiceUrl(parser.value(options.serviceUrl), &why);
        if (!chosen) return usage(QStringLiteral("the service URL is refused: %1").arg(why));
        service = *chosen;
    }
    if (parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("no images or folders given"));

    // The user's settings are read, never written (the window may be open on the same file, and
    // a key from the environment must not be stored).
    SettingsStore stored;
    stored.setReadOnly();
    QString keyError;
    const QString key = resolveKey(parser, options, stored, &keyError);
    if (!keyError.isEmpty()) return usage(keyError);
    const bool dryRun = parser.isSet(options.dryRun);
    if (key.isEmpty() && !dryRun)
        return usage(
            QStringLiteral("no API key: set VORPANE_API_KEY, give --api-key-file, or "
                           "store one in the Vorpane window"));

    InputPlan::Request request;
    request.inputs = parser.positionalArguments();
    request.outputRoot = QDir(parser.isSet(options.output) ? parser.value(options.output)
                                                           : stored.resolvedOutputFolder())
                             .absolutePath();
    request.format = format;
    request.recursive = parser.isSet(options.recursive);
    if (request.outputRoot.isEmpty() ||
        (!parser.isSet(options.output) && stored.resolvedOutputFolder().isEmpty()))
        return usage(QStringLiteral("no output folder: give --output"));
    InputPlan plan = InputPlan::make(request);
    if (!plan.error.isEmpty()) return usage(plan.error);

    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("vorpane-cli: pipe");
        return CliRun::BadUsage;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    RunConfig config;
    config.apiKey = key;
    config.imagesAtATime = jobs > 0 ? jobs : stored.imagesAtATime();
    config.imgFormat = format;
    config.isColored = !color.isEmpty() || format == QLatin1String("jpg");
    config.selectedColor = color.isEmpty() && config.isColored ? QStringLiteral("#FFFFFF") : color;
    config.naming =
        nameFrom == QLatin1String("service") ? ResultNames::Service : ResultNames::Photo;
    // Without --skip-existing what earlier runs saved is made again; what another Vorpane saves
    // while this one runs is not.
    const bool skipExisting = parser.isSet(options.skipExisting);
    if (!skipExisting) config.resendSavedBeforeMs = QDateTime::currentMSecsSinceEpoch();
    // What is saved stays saved: the same command with --skip-existing sends only the rest.
    config.resumeHint = skipExisting ? QStringLiteral("run the same command again to send the rest")
                                     : QStringLiteral(
                                           "run the same command with --skip-existing to send "
                                           "the rest");

    const bool json = parser.isSet(options.json);
    Report report(json, parser.isSet(options.quiet), ::isatty(STDERR_FILENO) == 1);
    for (const QString& note : plan.notes) report.note(note);
    CreditRecord credits;
    Notifier notifier;
    ConsoleAlerts alerts([&report](const QString& line) { report.note(line); });
    AppContext context{stored, credits, notifier, alerts, alerts, service};
    ServiceSession session;
    QString untrusted;
    if (!session.trustCaFile(ServiceSession::TrustSource::Setting,
                             stored.string(UserDefaultKeys::caFile).value_or(QString()),
                             &untrusted) ||
        !session.trustCaFile(ServiceSession::TrustSource::CommandLine, parser.value(options.caFile),
                             &untrusted))
        return usage(untrusted);
    BatchSession batch(context, session);
    // The ledger of paid results is the window's: what either paid for, the other fetches, and
    // what either saved, --skip-existing finds.
    QString why;
    if (!batch.useLedger(PaidLedger::defaultPath(), &why)) {
        std::fprintf(stderr,
                     "vorpane-cli: the record of paid results (%s) cannot be used: %s. "
                     "Nothing was sent.\n",
                     qPrintable(PaidLedger::defaultPath()), qPrintable(why));
        return CliRun::Halted;
    }
    if (!dryRun && QFileInfo::exists(PaidLedger::legacyJsonPath()))
        batch.ledger()->importJson(PaidLedger::legacyJsonPath());
    auto savedIn = [&batch, config](const QString& folder) {
        RunConfig inFolder = config;
        inFolder.outputFolder = folder;
        QHash<QString, QString> files;
        const QHash<QString, SavedResult> saved = batch.ledger()->savedResults(inFolder);
        for (auto it = saved.constBegin(); it != saved.constEnd(); ++it)
            files.insert(it.key(), it->filePath);
        return files;
    };
    if (skipExisting) {
        plan.skipSaved(savedIn);
    } else if (dryRun) {
        InputPlan saved = plan;
        saved.skipSaved(savedIn);
        if (const int n = saved.skippedCount(); n > 0)
            report.note(QStringLiteral("%1 of them already saved with these options: "
                                       "--skip-existing leaves them out")
                            .arg(n));
    }
    CliRun run(context, batch, report, config);

    QSocketNotifier interrupts(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&interrupts, &QSocketNotifier::activated, &run, [&run] {
        char bytes[16];
        while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        run.stop();
    });
    QObject::connect(&run, &CliRun::finished, &app, [](int code) { QCoreApplication::exit(code); });
    QTimer::singleShot(0, &run, [&run, &plan, dryRun] {
        if (dryRun)
            run.dryRun(plan);
        else
            run.start(plan);
    });
    const int exitCode = QCoreApplication::exec();
    return exitCode;
}
