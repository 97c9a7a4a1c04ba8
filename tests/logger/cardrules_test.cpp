// The address, unit and list-position rules shared by the window and tervalo-log.

#include "common/cardrules.h"

#include <QTest>

using namespace tervalo;

class CardRulesTest : public QObject
{
    Q_OBJECT
private slots:
    void address_data();
    void address();
    void unit_data();
    void unit();
    void listPosition_data();
    void listPosition();
};

void CardRulesTest::address_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("lowest") << "0" << true;
    QTest::newRow("highest") << "7" << true;
    QTest::newRow("one past the highest") << "8" << false;
    QTest::newRow("the character before '0'") << "/" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("leading zero") << "07" << false;
    QTest::newRow("plus sign") << "+3" << false;
    QTest::newRow("pasted with a line end") << "5\n" << false;
    QTest::newRow("blank before") << " 5" << false;
    QTest::newRow("letter") << "a" << false;
}

void CardRulesTest::address()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(isCardAddress(text), valid);
}

void CardRulesTest::unit_data()
{
    QTest::addColumn<QString>("letter");
    QTest::addColumn<QString>("name"); // as the reading labels show it; empty: no unit
    QTest::newRow("raw") << "r" << "Raw";
    QTest::newRow("Celsius") << "c" << "Celsius";
    QTest::newRow("Fahrenheit") << "f" << "Fahrenheit";
    QTest::newRow("capital") << "C" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("two letters") << "cf" << "";
    QTest::newRow("blank after") << "r " << "";
    QTest::newRow("stored number zero") << "0" << "";
    QTest::newRow("Kelvin") << "k" << "";
    QTest::newRow("name spelled out") << "fahrenheit" << "";
}

void CardRulesTest::unit()
{
    QFETCH(QString, letter);
    QFETCH(QString, name);
    QCOMPARE(unitName(letter), name);
    QCOMPARE(isUnitLetter(letter), !name.isEmpty());
}

void CardRulesTest::listPosition_data()
{
    QTest::addColumn<int>("saved");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("expected");
    QTest::newRow("first") << 0 << 9 << 0;
    QTest::newRow("inside") << 4 << 9 << 4;
    QTest::newRow("last") << 8 << 9 << 8;
    QTest::newRow("one past the end") << 9 << 9 << 0;
    QTest::newRow("far past the end") << 32767 << 9 << 0;
    QTest::newRow("negative") << -1 << 9 << 0;
    QTest::newRow("the only entry") << 0 << 1 << 0;
    QTest::newRow("an adapter unplugged since") << 2 << 2 << 0;
    QTest::newRow("empty list") << 0 << 0 << -1;
}

void CardRulesTest::listPosition()
{
    QFETCH(int, saved);
    QFETCH(int, count);
    QFETCH(int, expected);
    QCOMPARE(listPositionOrFirst(saved, count), expected);
}

QTEST_GUILESS_MAIN(CardRulesTest)
#include "cardrules_test.moc"
