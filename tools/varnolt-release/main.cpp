#include "releasetool.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("varnolt-release"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    ReleaseTool tool(out, err);
    return tool.run(QCoreApplication::arguments());
}
