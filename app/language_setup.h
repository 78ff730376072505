#pragma once
// The operator's language: the file SelectLanguageAndSkin chose is read into
// the program's texts, and the dialog templates are given those texts before
// any window opens.

#include <functional>
#include <memory>
#include <string>

#include "ui/dialog_template.h"

namespace app {

using LanguageLog = std::function<void(const std::string& line)>;

// Reads the language file chosen by SelectLanguageAndSkin into
// UiTexts::Current() (call SelectLanguageAndSkin first). A configured code
// that is not available, a language file that cannot be read and a missing
// skin folder are each logged once per process; the built-in texts then stay.
void LoadLanguageTexts(const LanguageLog& log);

// Before any window opens: chooses the language as the main dialog will
// (SelectLanguageAndSkin), reads its texts, and makes ProgramResources() the
// templates in that language.
void PrepareProgramLanguage(const LanguageLog& log);
// The program's templates: translated once PrepareProgramLanguage ran, the
// built-in ones before.
const ui::ResourceTable& ProgramResources();

// A copy of `builtin` whose captions, labels, buttons and strings come from
// UiTexts::Current() where it has them. Owns its texts.
class TranslatedResources {
public:
    explicit TranslatedResources(const ui::ResourceTable& builtin);
    ~TranslatedResources();
    TranslatedResources(const TranslatedResources&) = delete;
    TranslatedResources& operator=(const TranslatedResources&) = delete;

    const ui::ResourceTable& Table() const;

private:
    struct Storage;
    std::unique_ptr<Storage> storage_;
};

}  // namespace app
