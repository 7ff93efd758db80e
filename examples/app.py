"""Örnek uygulama modülü: başlatıcının bir uygulamayı nasıl çalıştırdığını gösterir.

Kurulum dizinine `app.py` olarak kopyalanır; gerçek grafik uygulamanın yerini tutar.
Kullanım: launcher [--çıkış-kodu N] [argümanlar...]
"""

import os
import sys


def main():
    args = sys.argv[1:]
    code = 0
    if len(args) >= 2 and args[0] == "--çıkış-kodu":
        code = int(args[1])
        args = args[2:]

    print("TQ8 VPN + Reklam Engelleyici örnek uygulaması çalışıyor.")
    print(f"Başlatıcı: {sys.argv[0]}")
    print(f"Kurulum dizini: {sys.path[0]}")
    print(f"PYTHONPATH: {os.environ.get('PYTHONPATH', '')}")
    print(f"QT_AUTO_SCREEN_SCALE_FACTOR: {os.environ.get('QT_AUTO_SCREEN_SCALE_FACTOR', '')}")
    print(f"Python sürümü: {sys.version.split()[0]}")
    if args:
        print("Argümanlar: " + " ".join(args))
    else:
        print("Argüman verilmedi.")
    print(f"Çıkış kodu: {code}")
    if code:
        raise SystemExit(code)
