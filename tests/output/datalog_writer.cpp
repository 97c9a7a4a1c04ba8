// Appends log records to the file named on the command line until it is killed. After the first
// record it prints one character, so the test knows the writing has begun. Each record repeats
// one number in all six channel fields, so a torn or glued record shows.

#include "output/datalogfile.h"

#include <QDateTime>
#include <QString>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const QString fileName = QString::fromLocal8Bit(argv[1]);
    for (int n = 0;; ++n) {
        const QDateTime now = QDateTime::currentDateTime();
        QString record = now.toString(QStringLiteral("yyyy-MM-dd,HH:mm:ss,")) + QStringLiteral("c,");
        const QString item = QStringLiteral("%1").arg(n % 10000, 4);
        for (int c = 0; c < 6; ++c)
            record += item + QLatin1Char(',');
        if (tervalo::appendLogRecord(fileName, (record + QStringLiteral("\r\n")).toLocal8Bit()) != 0)
            return 1;
        if (n == 0) {
            std::fputc('.', stdout);
            std::fflush(stdout);
        }
    }
}
