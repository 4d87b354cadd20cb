-- config.dat of the demo publisher: the update and news servers on this
-- machine, as the README describes them. The Debian package enciphers it
-- unless GD_PUBLISHER_CONFIG names the publisher's own file.
CERTIFICATION_URL = "http://127.0.0.1:8080/news.php"
DUREDOR_FTP_ADR   = "127.0.0.1:2121"
DUREDOR_FTP_USER  = "groove"
DUREDOR_FTP_PASS  = "deck"
DUREDOR_FTP_PATH  = "/update"
