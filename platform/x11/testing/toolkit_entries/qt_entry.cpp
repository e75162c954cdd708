// A Qt 6 line edit that takes the input focus once shown (there is no window manager to give it)
// and prints "text " and its whole text on every change.
#include <QApplication>
#include <QLineEdit>
#include <cstdio>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QLineEdit edit;
  QObject::connect(&edit, &QLineEdit::textChanged, [](const QString& text) {
    std::printf("text %s\n", text.toUtf8().constData());
    std::fflush(stdout);
  });
  edit.show();
  edit.activateWindow();  // sets the X input focus itself where no window manager answers
  return application.exec();
}
