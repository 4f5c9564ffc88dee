"""The front end's fixed console texts, written out independently of the program's
sources, for the black-box tests to compare bytes against."""
from harness import BIN, RUNNER, console

BANNER = "#---------------------- VORNA 3.14 Information By Ilo -------------------\n"

USAGE_HEAD = BANNER + "□ コマンド:\n     "
USAGE_TAIL = (
    " [-i][-d][-t] -hMailServer [-sSubject] \n"
    "     [-fFrom_username] [-FfilenameText] [-afilenameBinary1,filenameBinary2,..] \n"
    "     user1@address,user2@address,CC:user3@address,BCC:user4@address..\n"
    "□ オプションパラメータ一覧\n"
    "      -t: NTタイムゾーン調整オプション\n"
    "      -h: メールサーバ名又はIPアドレス\n"
    "      -s: サブジェクト内容\n"
    "      -p: プライオリティー -p4以下は、重要度高 -p5以上は重要度低\n"
    "      -f: 送信者名\n"
    "      -T: 本文内容 -Fよりも優先される\n"
    "      -F: 本文内容テキストファイル名\n"
    "      -a: 添付ファイル名 (カンマ区切りで複数可能)\n"
    "      -d: デバッグ表示モード\n"
    "      -i: インフォメーション表示モード\n"
    "      -S: サイレントモード（エラー表示しない）\n"
    "      -?: オプションヘルプ\n"
    "     ※これらのパラメータは、設定ファイルvorna.iniよりも優先されます。\n"
    "□ 関連ファイル\n"
    "      vorna.ini : POP before SMTP機能の使用する場合は必須です。\n")

MESSAGES = {
    1: "送信先の指定が不明です。",
    2: "本文ファイルがみつかりません。",
    3: "添付ファイルがみつかりません。",
    4: "作業ファイルが作れません。",
    8: "メールサーバとのコネクションエラー。",
    12: "メールサーバが指定されていません。",
    14: "メモリーオーバーフロー。",
    15: "エンコードエラー。",
    17: "オプション指定エラー。",
    18: "-s/-Tでの文字オーバエラー。",
    24: "SSL接続またはハンドリングエラーです。",
}


def error_lines(code):
    """What error_exit prints for a failure that is not a server reply."""
    return "ERR-%04d:%s \n\n" % (code, MESSAGES[code])


def split_usage(test, stdout):
    """Checks that stdout begins with the usage text and returns what follows it. The
    program name in the synopsis is the program's first argument; natively that is the
    binary's path."""
    head, tail = console(USAGE_HEAD), console(USAGE_TAIL)
    test.assertTrue(stdout.startswith(head), stdout[:200])
    end = stdout.find(console(" [-i][-d][-t]"), len(head))
    test.assertNotEqual(end, -1, stdout[:400])
    if not RUNNER:
        test.assertEqual(stdout[len(head):end], BIN.encode())
    rest = stdout[end:]
    test.assertTrue(rest.startswith(tail), rest[:400])
    return rest[len(tail):]
