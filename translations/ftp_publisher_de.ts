<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Form1</name>
    <message>
        <source>File name of the page</source>
        <translation>Dateiname der Seite</translation>
    </message>
</context>
</TS>
