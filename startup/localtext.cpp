#include "startup/localtext.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <memory>

#include "startup/globals.h"
#include "startup/registration.h"
#include "startup/shared_library.h"
#include "startup/text_module_abi.h"

namespace dwnfrw {

namespace {

const QString kNoString = QStringLiteral("NOSTRING");
const QString kModuleSuffix = QStringLiteral(".dll");
const QString kClassSuffix = QStringLiteral(".resource");

// An object of a text module's class; released when the last owner lets go.
class TextSourceObject {
  public:
    explicit TextSourceObject(TextObject* object) : object_(object) {}
    ~TextSourceObject() {
        if (object_ != nullptr && object_->methods->Release != nullptr) {
            object_->methods->Release(object_);
        }
    }
    TextSourceObject(const TextSourceObject&) = delete;
    TextSourceObject& operator=(const TextSourceObject&) = delete;

    QString getString(int32_t number) {
        const char* text = object_->methods->GetString(object_, &number);
        return text == nullptr ? QString() : QString::fromUtf8(text);
    }
    bool readVersion(QString& version) {
        if (object_->methods->Version == nullptr)
            return false;
        const char* text = object_->methods->Version(object_);
        if (text == nullptr)
            return false;
        version = QString::fromUtf8(text);
        return true;
    }

  private:
    TextObject* object_;
};

std::unique_ptr<TextSourceObject> g_textSource;

// Module names come from a platform whose file names ignore letter case:
// find the file in the program's folder whatever its case on disk. A name once
// found is remembered, so the Italian fallback for each missing text does not
// list the folder again.
QString findModuleFile(const QString& fileName) {
    static QHash<QString, QString>& found = *new QHash<QString, QString>();
    const QDir folder(programFolder());
    const QString key = folder.absolutePath() + QLatin1Char('/') + fileName.toLower();
    if (const auto known = found.constFind(key); known != found.cend())
        return known.value();
    QString path;
    if (QFileInfo::exists(folder.filePath(fileName))) {
        path = folder.filePath(fileName);
    } else {
        const QStringList entries = folder.entryList(QDir::Files | QDir::System);
        for (const QString& entry : entries) {
            if (entry.compare(fileName, Qt::CaseInsensitive) == 0) {
                path = folder.filePath(entry);
                break;
            }
        }
    }
    if (!path.isEmpty())
        found.insert(key, path);
    return path;
}

// Libraries that served an object stay loaded for the life of the program,
// as the objects' texts point into them. The table is never destroyed either:
// the text source, a global, may still call into a library while the program
// ends, and a table freed at exit would leave the libraries unreferenced.
QHash<QString, SharedLibrary*>& loadedModules() {
    static QHash<QString, SharedLibrary*>& modules = *new QHash<QString, SharedLibrary*>();
    return modules;
}

SharedLibrary* loadedModule(const QString& path) {
    if (SharedLibrary* known = loadedModules().value(path))
        return known;
    auto library = std::make_unique<SharedLibrary>();
    if (!library->open(path))
        return nullptr;
    loadedModules().insert(path, library.get());
    return library.release();
}

// Creates an object of the class "<stem>.resource" from the module "<stem>.dll".
std::unique_ptr<TextSourceObject> createObject(const QString& className) {
    if (!className.endsWith(kClassSuffix, Qt::CaseInsensitive))
        return nullptr;
    const QString stem = className.left(className.size() - kClassSuffix.size());
    const QString path = findModuleFile(stem + kModuleSuffix);
    if (path.isEmpty())
        return nullptr;
    SharedLibrary* library = loadedModule(path);
    if (library == nullptr)
        return nullptr;
    auto factory = reinterpret_cast<CreateClassObjectFn>(library->resolve(DWNFRW_TEXT_FACTORY));
    if (factory == nullptr)
        return nullptr;
    const QByteArray name = className.toUtf8();
    TextObject* object = factory(name.constData());
    if (object == nullptr || object->methods == nullptr ||
        object->methods->abiVersion != DWNFRW_TEXT_ABI_VERSION ||
        object->methods->GetString == nullptr) {
        return nullptr;
    }
    return std::make_unique<TextSourceObject>(object);
}

// Registers the module of stem, opens its object and proves it by reading its
// version; the object becomes the text source.
bool openTextSource(const QString& stem, const QString& modulePath) {
    std::unique_ptr<SharedLibrary> registered;
    if (modulePath.isEmpty() || !RegisterComponent(modulePath, &registered))
        return false;
    // The registration's load serves the objects too, so the module starts once.
    if (!loadedModules().contains(modulePath))
        loadedModules().insert(modulePath, registered.release());
    std::unique_ptr<TextSourceObject> object = createObject(stem + kClassSuffix);
    if (!object)
        return false;
    QString version;
    if (!object->readVersion(version))
        return false;
    g_textSource = std::move(object);
    return true;
}

// A language code becomes part of a library path: only letters and digits
// may pass, so a code can never name a module outside the program's folder.
bool isSafeLanguageCode(const QString& code) {
    for (const QChar c : code) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128))
            return false;
    }
    return true;
}

}  // namespace

bool LoadLanguage(const QString& productId, QString& languageCode, QString& message) {
    if (!languageCode.isEmpty() &&
        (!isSafeLanguageCode(languageCode) ||
         findModuleFile(productId + languageCode + kModuleSuffix).isEmpty())) {
        languageCode.clear();
    }

    QString stem = productId + (languageCode.isEmpty() ? QStringLiteral("ita") : languageCode);
    const QString modulePath = findModuleFile(stem + kModuleSuffix);
    if (!modulePath.isEmpty() && openTextSource(stem, modulePath))
        return true;

    // The Italian module answers for a missing language module and for one
    // that cannot be registered or opened.
    stem = productId + QStringLiteral("Ita");
    QString italianPath = findModuleFile(stem + kModuleSuffix);
    if (italianPath.isEmpty())
        italianPath = QDir(programFolder()).filePath(stem + kModuleSuffix);
    if (openTextSource(stem, italianPath))
        return true;

    message = QStringLiteral("File Locale Language ") + stem + QStringLiteral(".dll not found");
    return false;
}

QString GetText(int32_t number) {
    QString result;
    if (g_textSource)
        result = g_textSource->getString(number);

    if (result == kNoString) {
        // Always the Italian module, created afresh for each missing text.
        std::unique_ptr<TextSourceObject> italian =
            createObject(brandProductId(globals().Brand) + QStringLiteral("ita") + kClassSuffix);
        if (italian)
            result = italian->getString(number);
    }

    if (result.contains(QLatin1String("%APPNAME%"))) {
        result.replace(QLatin1String("%APPNAME%"), globals().AppName);
    }
    return result;
}

void UnloadLanguage() {
    g_textSource.reset();
}

}  // namespace dwnfrw
