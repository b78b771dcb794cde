#include "setup/qt/runtime_error.h"

#include <QMessageBox>

#include <cstdio>
#include <new>

namespace korvane::setup::qt {

QString runtimeErrorText(HRESULT number, const QString& description) {
  QString shown = QString::number(number);
  if (number < 0)
    shown += QStringLiteral(" (%1)").arg(static_cast<std::uint32_t>(number), 8, 16, QLatin1Char('0'));
  QString text = QStringLiteral("Run-time error '%1':").arg(shown);
  text += QStringLiteral("\n\n");
  text += description.isEmpty() ? QStringLiteral("Unexpected failure.") : description;
  return text;
}

RuntimeError describeException(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const ComError& e) {
    return {e.code(), QString::fromStdU16String(e.description())};
  } catch (const std::bad_alloc&) {
    return {7, QStringLiteral("Out of memory")};
  } catch (const std::exception& e) {
    return {E_FAIL, QString::fromUtf8(e.what())};
  } catch (...) {
    return {E_UNEXPECTED, QStringLiteral("Unexpected failure.")};
  }
}

void showRuntimeError(QWidget* parent, const QString& caption, const QString& text) {
  std::fprintf(stderr, "%s\n", text.toUtf8().constData());
  std::fflush(stderr);
  QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
  box.setObjectName(QStringLiteral("RuntimeError"));
  box.exec();
}

} // namespace korvane::setup::qt
