#include "setup/complus/complus.h"

#include "platform/com/runtime.h"
#include "platform/complus/catalog.h"
#include "platform/win32/environment.h"
#include "setup/window/error_log.h"
#include "setup/window/install.h"

namespace korvane::setup {

namespace {

using complus::ICatalogCollection;
using complus::ICatalogObject;
using complus::ICOMAdminCatalog;

ComPtr<ICOMAdminCatalog> newCatalog() { return createInstance<ICOMAdminCatalog>(complus::kCatalogProgId); }

ComPtr<ICatalogCollection> collection(ICOMAdminCatalog* catalog, TextView name) {
  ComPtr<IDispatch> out;
  check(catalog->GetCollection(name, out.put()));
  return out.query<ICatalogCollection>();
}

ComPtr<ICatalogCollection> subCollection(ICatalogCollection* parent, TextView name, const Variant& key) {
  ComPtr<IDispatch> out;
  check(parent->GetCollection(name, key, out.put()));
  return out.query<ICatalogCollection>();
}

std::int16_t count(ICatalogCollection* collection) {
  std::int32_t n = 0;
  check(collection->get_Count(&n));
  return static_cast<std::int16_t>(n);
}

ComPtr<ICatalogObject> item(ICatalogCollection* collection, std::int32_t index) {
  ComPtr<IDispatch> out;
  check(collection->get_Item(index, out.put()));
  return out ? out.query<ICatalogObject>() : ComPtr<ICatalogObject>();
}

Text nameOf(ICatalogObject* object) {
  Variant name;
  check(object->get_Name(&name));
  return name.toText();
}

Variant value(ICatalogObject* object, TextView property) {
  Variant v;
  check(object->get_Value(property, &v));
  return v;
}

void setValue(ICatalogObject* object, TextView property, const Variant& v) {
  check(object->put_Value(property, v));
}

void saveChanges(ICatalogCollection* collection) {
  std::int32_t changes = 0;
  check(collection->SaveChanges(&changes));
}

// The sink's component: its ProgID begins with the application name and "."
// (exact comparison).
bool isSinkComponent(TextView componentName, TextView applicationName) {
  Text prefix = Text(applicationName) + u".";
  return componentName.substr(0, prefix.size()) == prefix;
}

// The first application of that name in catalog order (ignoring case).
std::optional<std::int16_t> findApplication(ICatalogCollection* applications, TextView applicationName) {
  const std::int16_t n = count(applications);
  for (std::int16_t i = 0; i < n; ++i) {
    auto application = item(applications, i);
    if (application && equalsIgnoreCase(nameOf(application.get()), applicationName)) return i;
  }
  return std::nullopt;
}

// The application's "Components" (keyed by its upper-cased "ID"), populated,
// and in it the sink's component; the component is empty when none matches.
struct SinkComponent {
  ComPtr<ICatalogCollection> components;
  ComPtr<ICatalogObject> component;
};
SinkComponent findSinkComponent(ICatalogCollection* applications, ICatalogObject* application,
                                TextView applicationName) {
  SinkComponent found;
  Text id = toUpperSimple(value(application, u"ID").toText());
  found.components = subCollection(applications, u"Components", Variant(id));
  check(found.components->Populate());
  const std::int16_t m = count(found.components.get());
  for (std::int16_t j = 0; j < m; ++j) {
    auto component = item(found.components.get(), j);
    if (component && isSinkComponent(nameOf(component.get()), applicationName)) {
      found.component = component;
      break;
    }
  }
  return found;
}

Text firstEntry(TextView line) {
  auto entries = split(line, u'\t');
  return entries.empty() ? Text() : entries.front();
}

void loadWindowFromLines(InstallForm& form, const ConstructorLines& lines) {
  auto& ui = form.ui;
  Text priority = lines.line3;
  if (priority.empty()) priority = ui.txtPriority.text.empty() ? Text(u"65223") : ui.txtPriority.text;
  setPriorityFromCode(form, priority);

  if (!lines.line2.empty())
    ui.txtOrigMsgClass.text = firstEntry(lines.line2);
  else if (ui.txtOrigMsgClass.text.empty())
    ui.txtOrigMsgClass.text = u"*";

  if (!lines.line1.empty())
    ui.txtNewMsgClass.text = trimBlanks(firstEntry(lines.line1));
  else if (ui.txtNewMsgClass.text.empty())
    ui.txtNewMsgClass.text = u"IPM.Note";
}

} // namespace

ConstructorLines splitConstructorLines(TextView s) {
  ConstructorLines lines;
  Text remainder;
  auto p = s.find(u'\r');
  if (p != TextView::npos && p > 0) {
    lines.line1 = trimBlanks(s.substr(0, p));
    remainder = trimBlanks(s.substr(p + 1));
  }
  auto p2 = remainder.find(u'\r');
  if (p2 != Text::npos && p2 > 0) {
    lines.line3 = trimBlanks(TextView(remainder).substr(p2 + 1));
    lines.line2 = trimBlanks(TextView(remainder).substr(0, p2));
  } else {
    lines.line2 = remainder;
  }
  return lines;
}

bool CheckComPlusAppExists(InstallForm& form, TextView applicationName, Text& identity) {
  bool result = false;
  Text constructorString;
  std::optional<ComError> pending;
  try {
    auto catalog = newCatalog();
    auto applications = collection(catalog.get(), u"Applications");
    check(applications->Populate());
    if (auto index = findApplication(applications.get(), applicationName)) {
      auto application = item(applications.get(), *index);
      result = true;
      identity = value(application.get(), u"Identity").toText();
      check(catalog->RefreshComponents());
      auto sink = findSinkComponent(applications.get(), application.get(), applicationName);
      if (sink.component) {
        Variant enabled = value(sink.component.get(), u"ConstructionEnabled");
        Variant stored = value(sink.component.get(), u"ConstructorString");
        if (enabled == Variant(true) && !stored.isNull()) constructorString = stored.toText();
      }
    }
  } catch (const ComError& e) {
    pending = e;
  }
  try {
    loadWindowFromLines(form, splitConstructorLines(constructorString));
  } catch (const ComError& e) {
    if (!pending) pending = e;
  }
  if (pending) addErrorEntry(form.ui.txtErr, u"[CheckComPlusAppExists]", *pending);
  return result;
}

void AddComPlusApp(InstallForm& form, TextView applicationName, TextView identity, TextView password,
                   TextView constructorString) {
  try {
    auto catalog = newCatalog();
    auto applications = collection(catalog.get(), u"Applications");
    check(applications->Populate());
    ComPtr<IDispatch> added;
    check(applications->Add(added.put()));
    auto application = added.query<ICatalogObject>();
    setValue(application.get(), u"Name", Variant(applicationName));
    setValue(application.get(), u"ApplicationAccessChecksEnabled", Variant(false));
    Text id = trimBlanks(identity), pw = trimBlanks(password);
    if (!id.empty() && !pw.empty()) {
      setValue(application.get(), u"Identity", Variant(id));
      setValue(application.get(), u"Password", Variant(pw));
    }
    saveChanges(applications.get());

    check(catalog->InstallComponent(applicationName, win32::currentDirectory() + u"\\Korvane.dll", u"", u""));
    check(catalog->RefreshComponents());

    if (!constructorString.empty()) {
      auto sink = findSinkComponent(applications.get(), application.get(), applicationName);
      if (sink.component) {
        setValue(sink.component.get(), u"ConstructionEnabled", Variant(true));
        setValue(sink.component.get(), u"ConstructorString", Variant(constructorString));
        saveChanges(sink.components.get());
      }
    }
  } catch (const ComError& e) {
    addErrorEntry(form.ui.txtErr, u"[AddComPlusApp]", e);
  }
}

void RemoveComPlusApp(InstallForm& form, TextView applicationName) {
  try {
    auto catalog = newCatalog();
    auto applications = collection(catalog.get(), u"Applications");
    check(applications->Populate());
    if (auto index = findApplication(applications.get(), applicationName)) {
      check(applications->Remove(*index));
      saveChanges(applications.get());
    }
  } catch (const ComError& e) {
    addErrorEntry(form.ui.txtErr, u"[RemoveComPlusApp]", e);
  }
}

} // namespace korvane::setup
