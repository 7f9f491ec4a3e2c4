<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>ItemList</name>
    <message>
        <source>Items to remove</source>
        <translation>Zu entfernende Objekte</translation>
    </message>
</context>
<context>
    <name>ItemRow</name>
    <message>
        <source>%1, %2, %3</source>
        <extracomment>An item row as a screen reader reads it: what, where, and its size or why it stays.</extracomment>
        <translation>%1, %2, %3</translation>
    </message>
</context>
<context>
    <name>PlatformEnvironment</name>
    <message>
        <source>Quillane was still being updated after %1 seconds; nothing was removed.</source>
        <translation>Quillane wurde nach %1 Sekunden noch aktualisiert; es wurde nichts entfernt.</translation>
    </message>
</context>
<context>
    <name>Uninstaller</name>
    <message>
        <source>Uninstall Complete</source>
        <translation>Deinstallation abgeschlossen</translation>
    </message>
    <message>
        <source>Quillane was successfully removed</source>
        <translation>Quillane wurde erfolgreich entfernt</translation>
    </message>
    <message>
        <source>Done</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <source>Uninstall Not Successful</source>
        <translation>Deinstallation nicht erfolgreich</translation>
    </message>
    <message>
        <source>Quillane 2 was not successfully removed.  The following error occurred
%@</source>
        <translation>Quillane 2 konnte nicht entfernt werden. Folgender Fehler ist aufgetreten:
%@</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>UninstallerWindow</name>
    <message>
        <source>Plug-in</source>
        <translation>Plug-in</translation>
    </message>
    <message>
        <source>Spotlight importer</source>
        <translation>Spotlight-Importprogramm</translation>
    </message>
    <message>
        <source>Extras folder</source>
        <translation>Extras-Ordner</translation>
    </message>
    <message>
        <source>a link, left in place</source>
        <translation>eine Verknüpfung, bleibt erhalten</translation>
    </message>
    <message>
        <source>not a folder, left in place</source>
        <translation>kein Ordner, bleibt erhalten</translation>
    </message>
    <message>
        <source>not found</source>
        <translation>nicht gefunden</translation>
    </message>
    <message>
        <source>Uninstall Quillane</source>
        <translation>Quillane deinstallieren</translation>
    </message>
    <message>
        <source>Remove Quillane from Mail?</source>
        <translation>Quillane aus Mail entfernen?</translation>
    </message>
    <message>
        <source>Mail will be asked to quit. These items are then deleted from your Library folder; they are not moved to the Trash.</source>
        <translation>Mail wird zum Beenden aufgefordert. Danach werden diese Objekte aus Ihrem Library-Ordner gelöscht; sie werden nicht in den Papierkorb verschoben.</translation>
    </message>
    <message>
        <source>Uninstall</source>
        <translation>Deinstallieren</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>a link: only the link is removed</source>
        <translation>eine Verknüpfung: nur die Verknüpfung wird entfernt</translation>
    </message>
    <message>
        <source>left over from an earlier removal</source>
        <translation>Rest einer früheren Deinstallation</translation>
    </message>
    <message>
        <source>Your Library folder could not be found; nothing will be removed.</source>
        <translation>Ihr Library-Ordner wurde nicht gefunden; es wird nichts entfernt.</translation>
    </message>
    <message>
        <source>…</source>
        <translation>…</translation>
    </message>
    <message>
        <source>%1, %2</source>
        <translation>%1, %2</translation>
    </message>
    <message>
        <source>size unknown</source>
        <translation>Größe unbekannt</translation>
    </message>
    <message>
        <source>Waiting for an update of Quillane to finish…</source>
        <translation>Warten, bis die Aktualisierung von Quillane abgeschlossen ist …</translation>
    </message>
</context>
</TS>
