#include "form1.h"
#include <QtTest>
class test_form1 : public QObject { Q_OBJECT private slots: void builds() { Form1 f(QDir::tempPath()); QVERIFY(f.btn_copy); } };
QTEST_MAIN(test_form1)
#include "test_form1.moc"
