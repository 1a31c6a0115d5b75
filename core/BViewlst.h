#pragma once
// The viewer table: which application opens a file, by its extension.
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

enum ViewerState : std::uint8_t {
    ViewerLoaded = 0,
    ViewerChanged = 1,
    ViewerAdded = 2,
    ViewerDeleted = 3,
    ViewerAddedDeleted = 4,
};

struct ViewerEntry {
    QString Extension;   // lower case, without the dot
    QString Application; // full path; empty for a deleted entry
    std::uint8_t State = ViewerLoaded;
};

// Entry 0 stands for the grid's title row; at most 30 viewers fit.
constexpr int ViewerTableSize = 31;
extern std::array<ViewerEntry, ViewerTableSize> ViewerTable;
extern int ViewerCount; // entries in use, entry 0 included

// Empties the table (ViewerCount 1).
void ClearViewerTable();

// Fills the table with the default viewers of this machine for the first start
// and returns their comma list of extensions.
QString CreateDefaultViewers();

// The text of the configuration window's "Viewer Setting" field: how files
// are shown, or the registered extensions.
QString ViewerSettingText();

// An extension the list can hold: no comma (it separates the stored list),
// no blank and no control character.
bool IsViewerExtension(const QString &extension);

// ---- the viewer list window --------------------------------------------------

namespace Ui {
class TBViewerListForm;
}

// Edits ViewerTable and the viewing options. Created anew by the
// configuration window each time that window shows, and owned by it.
class TBViewerListForm : public QWidget {
    Q_OBJECT
public:
    explicit TBViewerListForm(QWidget *parent = nullptr);
    ~TBViewerListForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBViewerListForm> ui;

    void EnterButtonClick();
    void DeleteButtonClick();
    void ClearButtonClick();
    void ReferenceButtonClick();
    void GridClick();
    void GridDblClick();
    // Grid rows count from 1: row r shows ViewerTable[r].
    void GridRowMoved(int from, int to);
    void Windows95CheckBoxClick();
    void HtmlViewerCheckBoxClick();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void FillGrid();
    void ShowEntry(int index);
    // Every column as wide as its title and its longest value; the
    // application column also takes the rest of the grid's width.
    void FitColumns();
    void SelectRow(int row);
    int SelectedEntry() const; // 0 when no entry row is selected
};
