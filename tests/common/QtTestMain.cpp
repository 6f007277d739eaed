// gtest main for tests that need a Qt application object (and so an event loop).
#include <gtest/gtest.h>

#include <cstdlib>
#ifdef OMBREX_TEST_GUI
#include <QApplication>
#else
#include <QCoreApplication>
#endif

int main(int argc, char** argv)
{
    // Test discovery runs at build time too, where no display may exist.
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    testing::InitGoogleTest(&argc, argv);
#ifdef OMBREX_TEST_GUI
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    return RUN_ALL_TESTS();
}
