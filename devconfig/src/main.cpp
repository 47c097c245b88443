#include <QApplication>

#include "mainwindow.h"

int main(int argc, char* argv[]) {
  QApplication* app = new QApplication(argc, argv);
  MainWindow* window = new MainWindow(nullptr);
  window->show();
  const int result = app->exec();
  delete window;
  delete app;
  return result;
}
