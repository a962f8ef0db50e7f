// SPDX-License-Identifier: MIT
#include "ui/helptext.h"

#include <QScrollBar>
#include <QTextEdit>

const QString helpText = QStringLiteral(
    " Соедините прибор с ПК USB шнуром, включите его, длительным нажатием на кнопку <Sel> переведите в режим USB (на индикаторе появится значок)\n"
    " \n"
    " Для подключения прибора выберите нужный COM PORT из выпадающего списка(чуть ниже). \n"
    " Нажмите <Открыть порт>.\n"
    " Если прибор подключен, то программа отобразит текущую длину волны.\n"
    " Если порт выбран не верно, его нужно закрыть нажав на кнопку <Закрыть порт>.\n"
    " Для обновления списка и информации о COM портах, нажмите кнопку <Какие порты доступны>\n"
    " \n"
    " Для переключения длины волны используйте копку <Лямбда>. \n"
    " Для отображения измерений используйте кнопку <Измерения>, повторное нажатие останавливает отображение.");

void appendHelpText(QTextEdit *output)
{
    output->append(helpText);
    // Instructions are read from the top, not from where append() leaves them.
    output->moveCursor(QTextCursor::Start);
    output->verticalScrollBar()->setValue(0);
}
