#include "service/logging.h"
#include "service/logsink.h"

#include <QCommandLineParser>
#include <QCoreApplication>

int main(int argc, char *argv[])
{
    qInstallMessageHandler(LogSink::messageHandler);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARND_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral("Quillon"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Tarn Proxy Client Service"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);
    QLoggingCategory::setFilterRules(QStringLiteral("tarnd.debug=false"));
    return 0;
}
