#pragma once
// The columns of the OLC client window's grids and the cell access that its
// handlers share (olc/BOlcCli.cpp, olc/BOlcOpt.cpp).
#include <QString>
#include <QTableWidget>

// MsgsGrid columns.
enum MsgsColumn { NumberColumn, TitleTextColumn, ReadColumn, BinColumn, LinkColumn, ReplyColumn, AddressColumn,
                  HandleColumn, UserIdColumn, DateColumn, BytesColumn, FileNameColumn };
// BoardGrid columns.
enum BoardColumn { BoardNumberColumn, BoardNameColumn, PasswordColumn, ReadOnlyColumn, ReadPtrColumn, MsgNumColumn,
                   TopMsgColumn, LastPostColumn, ParentColumn };
// UserGrid (WHO list) columns.
enum UserColumn { PortColumn, UserNumberColumn, UserAddressColumn, UserHandleColumn, UserIdentColumn,
                  LogonTimeColumn, UserBoardColumn, UsingPortColumn };

// The text of a cell; empty for a cell never set.
inline QString Cell(const QTableWidget *grid, int row, int column)
{
    const QTableWidgetItem *item = grid->item(row, column);
    return item ? item->text() : QString();
}

inline void SetCell(QTableWidget *grid, int row, int column, const QString &text)
{
    grid->setItem(row, column, new QTableWidgetItem(text));
}
