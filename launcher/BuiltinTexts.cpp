#include "launcher/BuiltinTexts.h"

#include <atomic>

namespace
{

struct BuiltinEntry
{
    int32_t id;
    const char* english;
    const char* russian;
};

// Some Russian texts end with a blank on purpose: a value follows them.
const BuiltinEntry kTexts[] = {
    {151, "One copy of client is already running!", "Одна копия Zelvan.exe уже запущена!"},
    {156, "Update completed successfully.", "Обновление завершено успешно."},
    {157, "Self update is not required.", "Самообновления не требуется."},
    {158, "Error connecting to the server.", "Ошибка соединения с сервером."},
    {159, "Network connection error", "Ошибка сетевого соединения."},
    {160, "Wrong network protocol version! Please manually update update-system.",
     "Неправильная версия протокола передачи данных. Вручную обновите систему обновления."},
    {161, "Server authorization failure.", "Сервер отказал в авторизации."},
    {162, "The server is temporarily down for maintenance.",
     "Сервер временно недоступен, проводится техобслуживание."},
    {163, "Data transfer protocol error. Please refer to the developers.",
     "Ошибка протокола передачи данных. Обратитесь к разработчикам."},
    {164, "Data read error.", "Ошибка чтения данных с диска."},
    {165,
     "Error writing data to disk. Check access rights and the availability of free space. For Windows Vista "
     "users: check that User Account Control (UAC) is switched off.",
     "Ошибка записи данных на диск. Проверьте права доступа и наличие свободного места.  Пользователи "
     "Windows Vista убедитесь, что отключен User Account Control (UAC)."},
    {166,
     "Error updating data on disk. Check access rights. For Windows Vista users: check that User Account "
     "Control (UAC) is switched off.",
     "Ошибка модификации данных на диске. Проверьте права доступа. Пользователи Windows Vista убедитесь, что "
     "отключен User Account Control (UAC)."},
    {167, "Error working with operating system. Please refer to the developers.",
     "Ошибка работы с операционной системой. Обратитесь к разработчикам."},
    {168, "Data compression error. Please refer to the developers.",
     "Ошибка сжатия данных. Обратитесь к разработчикам."},
    {169, "Error starting client. Please refer to the developers.",
     "Ошибка запуска клиента. Обратитесь к разработчикам."},
    {170, "Internal application error. Please refer to the developers.",
     "Внутренняя ошибка программы. Обратитесь к разработчикам."},
    {171, "Time remaining:", "Осталось времени: "},
    {172, "Error", "Ошибка"},
    {173, "Scanning files (may take several minutes)", "Сканирование файлов (может занять несколько минут)"},
    // The old English text began with a Cyrillic letter, which 8-bit English showed as "?".
    {174, "Connecting to server", "Соединение с сервером"},
    {175, "Building an update filelist", "Составление списка обновляемых файлов"},
    {176, "Transfer speed:", "Скорость передачи: "},
    {177, "Downloading file:", "Загрузка файла с сервера: "},
    {178, "Decompressing file:", "Декомпрессия файла: "},
    {179, "Creating folders", "Создание папок"},
    {180, "Deleting unnecessary files", "Удаление лишних файлов"},
    {181, "Saving filelist", "Сохранение списка файлов"},
    {182, "Ready to work", "Готов к работе"},
    {188, "Starting Zelvan", "Запуск Zelvan"},
    {190, "Your DirectX version is too old. Please, update your DirectX to at least version 9.",
     "Ваша версия DirectX устарела, рекомендуем обновить DirectX как минимум до 9-й версии."},
    {191, "Warning", "Предупреждение"},
    {192, "You can download DirectX by following link:", "Скачать DirectX можно по следующей ссылке:"},
    {195, "No connection.", "Нет соединения."},
    {196, "Please wait while the game is starting.", "Игра запускается. Пожалуйста, подождите."},
    {197, "Connection failed. Trying again in %s s (attempt %s of %s).",
     "Не удалось соединиться. Новая попытка через %s с (попытка %s из %s)."},
    {198,
     "Not enough disk space for the update: %s needed, %s free in \"%s\". Free some space, then press "
     "Reconnect.",
     "Недостаточно места на диске для обновления: нужно %s, свободно %s в \"%s\". Освободите место и нажмите "
     "\"Переподключиться\"."},
    {199, "The disk is full: \"%s\" could not be written. Free some space, then press Reconnect.",
     "Диск заполнен: не удалось записать \"%s\". Освободите место и нажмите \"Переподключиться\"."},
    {200,
     "\"%s\" cannot be written: the file or folder is read-only or access is denied. Check its permissions.",
     "Нельзя записать \"%s\": файл или папка только для чтения, или нет доступа. Проверьте права доступа."},
    {201, "The file or folder concerned: \"%s\".", "Файл или папка: \"%s\"."},
    {202, "Details are in the log file \"%s\".", "Подробности в файле журнала \"%s\"."},
    {203, "Downloaded: ", "Загружено: "},
    {204, "Installed release: ", "Установленный выпуск: "},
    {205,
     "The update was refused: the server's release is not signed by the trusted key, is older than the one "
     "installed, has expired or does not match its files. Nothing was changed.",
     "Обновление отклонено: выпуск на сервере не подписан доверенным ключом, "
     "старше установленного, просрочен или не совпадает со своими файлами. "
     "Ничего не изменено."},
};

std::atomic<BuiltinLanguage> g_language{BuiltinLanguage::English};

const BuiltinEntry* findEntry(int32_t id)
{
    for (const BuiltinEntry& e : kTexts)
        if (e.id == id)
            return &e;
    return nullptr;
}

} // namespace

void setBuiltinLanguage(BuiltinLanguage language)
{
    g_language = language;
}

BuiltinLanguage builtinLanguage()
{
    return g_language;
}

bool findBuiltinText(int32_t id, std::string& text)
{
    const BuiltinEntry* e = findEntry(id);
    if (!e)
        return false;
    text = g_language == BuiltinLanguage::Russian ? e->russian : e->english;
    return true;
}

std::string builtinText(int32_t id)
{
    return builtinText(id, g_language);
}

std::string builtinText(int32_t id, BuiltinLanguage language)
{
    const BuiltinEntry* e = findEntry(id);
    if (!e)
        return std::string();
    return language == BuiltinLanguage::Russian ? e->russian : e->english;
}
