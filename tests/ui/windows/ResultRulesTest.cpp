// The results window's rules that need no window: search requests, the
// tri-state and select-all over real nodes, the strip's load range and the
// free-space check of a recovery.
#include "engine/common/FileNode.h"
#include "tests/support/TestFileNode.h"
#include "ui/windows/ResultSelection.h"

#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <memory>

using namespace salvor::windows;
using salvor::test::TestFileNode;

class ResultRulesTest : public QObject {
    Q_OBJECT

private slots:
    void searchRequests_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("current");
        QTest::addColumn<bool>("starts");
        QTest::addColumn<QString>("key");
        QTest::newRow("one space") << " " << "" << false << "";
        QTest::newRow("two spaces") << "  " << "x" << false << "";
        QTest::newRow("word in spaces") << " word " << "" << true << "word";
        QTest::newRow("two before") << "  word" << "" << true << " word";
        QTest::newRow("three spaces") << "   " << "" << true << " ";
        QTest::newRow("A-circumflex runs") << QString::fromUtf8("a\u00C2  \u00C2  b") << "" << true << "a  b";
        QTest::newRow("clear after a search") << "" << "word" << true << "";
        QTest::newRow("clear an empty field") << "" << "" << false << "";
        QTest::newRow("same key again") << " word" << "word" << false << "";
        QTest::newRow("case and tabs kept") << "\tWord " << "" << true << "\tWord";
    }
    void searchRequests() {
        QFETCH(QString, field);
        QFETCH(QString, current);
        QFETCH(bool, starts);
        const std::optional<QString> key = searchRequest(field, current);
        QCOMPARE(key.has_value(), starts);
        if (starts) QTEST(*key, "key");
    }

    void ticksAndSelectAll() {
        TestFileNode root(1, 0, "dir", true), sub(2, 1, "sub", true);
        std::vector<std::unique_ptr<TestFileNode>> files;
        root.ShowNode(1), sub.ShowNode(1);
        root.AddChild(&sub);
        OpNodeList list{OpNodeEntry(&sub)};
        for (int i = 0; i < 4; ++i) {
            files.push_back(std::make_unique<TestFileNode>(10 + i, 1, std::string("f").append(std::to_string(i)), false, 100));
            files.back()->ShowNode(1);
            root.AddChild(files.back().get());
            list.emplace_back(files.back().get());
        }
        // The window's test drives select-all over a list; here the folder
        // in a list is left alone and an empty list answers "none ticked".
        QCOMPARE(setAllTicks(list, listTickState(list)), 2);
        QCOMPARE(listTickState(list), 2);
        QCOMPARE(OpNodeData::fileNodeState(&sub), 0);
        QCOMPARE(listTickState({}), 0);

        // A group root counts its children: file entries and child items.
        OpNodeRef group = OpNodeData::initWithNodeData({});
        group->setType(1);
        OpNodeRef ext = OpNodeData::initWithNodeData({});
        ext->setType(1);
        ext->setNodeState(2);
        group->setSubNode({OpNodeEntry(ext), OpNodeEntry(files[0].get()), OpNodeEntry(&sub)});
        OpNodeData::setFileNode(files[0].get(), 0);
        QCOMPARE(cellNodeState(group.get(), {}), 1);
        OpNodeData::setFileNode(files[0].get(), 2);
        QCOMPARE(cellNodeState(group.get(), {}), 2);
        QCOMPARE(cellNodeState(nullptr, list), listTickState(list));
    }

    void stripRanges() {
        using R = std::pair<std::int64_t, std::int64_t>;
        QCOMPARE(stripLoadRange(10, 9), (R{0, 10}));
        QCOMPARE(stripLoadRange(500, 250), (R{150, 350}));
        QCOMPARE(stripLoadRange(500, 30), (R{0, 130}));
        QCOMPARE(stripLoadRange(500, 480), (R{380, 500}));
        QCOMPARE(stripLoadRange(0, 0), (R{0, 0}));
    }

    void freeSpace() {
        // 105 % rounded down, in 64 bits without overflow.
        QCOMPARE(spaceNeededFor(100), 105u);
        QCOMPARE(spaceNeededFor(19), 19u);
        QCOMPARE(spaceNeededFor(std::uint64_t(100) << 56), std::uint64_t(105) << 56);
        QCOMPARE(spaceNeededFor(std::numeric_limits<std::uint64_t>::max()), std::numeric_limits<std::uint64_t>::max());
        QVERIFY(!hasSpaceFor(105, 100));
        QVERIFY(hasSpaceFor(106, 100));
        QVERIFY(!hasSpaceFor(0, 0));
        QVERIFY(hasSpaceFor(1, 0));
        const std::uint64_t big = std::uint64_t(100) << 30; // past 32 bits
        QVERIFY(!hasSpaceFor(std::uint64_t(105) << 30, big));
        QVERIFY(hasSpaceFor((std::uint64_t(105) << 30) + 1, big));

        QTemporaryDir dir;
        const std::optional<std::uint64_t> free = freeSpaceForPath(dir.path());
        QVERIFY(free && *free > 0);
        QVERIFY(!freeSpaceForPath(dir.path() + QStringLiteral("/missing")));
        QVERIFY(!freeSpaceForPath(QString()));
    }
};

QTEST_GUILESS_MAIN(ResultRulesTest)
#include "ResultRulesTest.moc"
