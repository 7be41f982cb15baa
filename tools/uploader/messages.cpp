// The string table. One entry per message; ids 5, 6 and 26 are not used.
#include "messages.h"

#include <cstring>

namespace uplder {

namespace {

struct Entry {
    int id;
    const char* text;
};

// Message 32 carries the factory-default address, so it is assembled here
// from the same constant the console flow falls back to.
#define ORV_DEFAULT_ADDRESS "192.168.0.254"

const Entry kTable[] = {
    {2, "プログラムを終了するにはリターンを押してください。"},
    {3, "%1のIPアドレスを入力してください。"},
    {4, ">"},
    {7, "FTPサーバへのログインの段階でエラーが発生したため、実行を中止しました。"},
    {8, "\r\n------------------------\r\nエラーの詳細：\r\n"},
    {9, "\r\nファイル転送を実行しています。\r\n\u3000※絶対にネットワークケーブルを抜いたり電源を切ったりしないでください。\r\n"},
    {10, "転送元ファイルの検索中にエラーが発生したため実行を中止しました。"},
    {11, "転送元ファイル操作にて、\"%1\"へのカレントディレクトリの移動に失敗したため、 実行を中止しました。"},
    {12, "FTPコマンド操作にて、\"%1\"へのカレントディレクトリの移動に失敗したため、 実行を中止しました。"},
    {13, "FTPコマンド操作にて、\"%1\"のファイル転送に失敗したため、 実行を中止しました。"},
    {14, "ファイル転送が完了しました。"},
    {15, "転送元ファイルの操作に失敗したため、 実行を中止しました。"},
    {16, "転送元フォルダのパスが長すぎたため、操作に失敗しました。\r\n実行を中止しました。\r\n"},
    {17, "\r\n実行を開始します。機能を選択してください。\r\n"},
    {18, "    1. ファイル転送\r\n"},
    {19, "    2. 装置リセット\r\n"},
    {20, "範囲外の番号です。1～2を選択してください。\r\n"},
    {21, "\r\nエラーが発生しました。実行を中止します。\r\n\r\n"},
    {22, "Windowsソケットの初期化に失敗しました。"},
    {23, "%1へのログインの段階で通信タイムアウトが発生したため、実行を中止しました。\r\n"},
    {24, "\r\n装置リセットを行うため、コマンドを送信しました。\r\n"},
    {25, "装置をリセットしますか?  (y or n)"},
    {27, "%1へのログインの段階でエラーが発生したため、実行を中止しました。\r\n"},
    {28, "%1へのログインの段階で通信エラーが発生したため、実行を中止しました。\r\n"},
    {29, "装置リセットを行うためのコマンドを送信中、通信エラーが発生したため、実行を中止しました。\r\n"},
    {30, "装置リセットを行うためのコマンドを送信中、通信タイムアウトが発生したため、実行を中止しました。\r\n"},
    {31, "エラーが発生しました。"},
    {32, " (デフォルト:" ORV_DEFAULT_ADDRESS ")"},
    {33, " (デフォルト:1)"},
    {34, " (デフォルト:y)"},
    {35, "\r\nデータを展開しました。\r\n"},
    {36, "\r\nアップデートを完了するには装置をリセットする必要があります。\r\n"},
    {37, "Orvane III"},
    {38, "Orvane IV"},
    {39, "通信エラーが発生したため、実行を中止しました。\r\n"},
    {40, "通信タイムアウトが発生したため、実行を中止しました。\r\n"},
};

}  // namespace

const char kFactoryDefaultAddress[] = ORV_DEFAULT_ADDRESS;

const char* uplder_msg(int id) {
    for (const Entry& e : kTable)
        if (e.id == id) return e.text;
    return nullptr;
}

std::string uplder_format(int id, const std::string& arg) {
    const char* t = uplder_msg(id);
    if (!t) return {};
    std::string out;
    for (const char* p = t; *p;) {
        if (p[0] == '%' && p[1] == '1') {
            out += arg;
            p += 2;
        } else {
            out += *p++;
        }
    }
    return out;
}

}  // namespace uplder
