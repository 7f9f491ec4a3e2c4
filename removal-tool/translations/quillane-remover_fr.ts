<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>ItemList</name>
    <message>
        <source>Items to remove</source>
        <translation>Éléments à supprimer</translation>
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
        <translation>Quillane était encore en cours de mise à jour au bout de %1 secondes ; rien n’a été supprimé.</translation>
    </message>
</context>
<context>
    <name>Uninstaller</name>
    <message>
        <source>Uninstall Complete</source>
        <translation>Désinstallation terminée</translation>
    </message>
    <message>
        <source>Quillane was successfully removed</source>
        <translation>Quillane a bien été supprimé</translation>
    </message>
    <message>
        <source>Done</source>
        <translation>Terminé</translation>
    </message>
    <message>
        <source>Uninstall Not Successful</source>
        <translation>Échec de la désinstallation</translation>
    </message>
    <message>
        <source>Quillane 2 was not successfully removed.  The following error occurred
%@</source>
        <translation>Quillane 2 n’a pas pu être supprimé. L’erreur suivante s’est produite&#xa0;:
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
        <translation>Module</translation>
    </message>
    <message>
        <source>Spotlight importer</source>
        <translation>Importateur Spotlight</translation>
    </message>
    <message>
        <source>Extras folder</source>
        <translation>Dossier Extras</translation>
    </message>
    <message>
        <source>a link, left in place</source>
        <translation>un lien, laissé en place</translation>
    </message>
    <message>
        <source>not a folder, left in place</source>
        <translation>pas un dossier, laissé en place</translation>
    </message>
    <message>
        <source>not found</source>
        <translation>introuvable</translation>
    </message>
    <message>
        <source>Uninstall Quillane</source>
        <translation>Désinstaller Quillane</translation>
    </message>
    <message>
        <source>Remove Quillane from Mail?</source>
        <translation>Supprimer Quillane de Mail&#xa0;?</translation>
    </message>
    <message>
        <source>Mail will be asked to quit. These items are then deleted from your Library folder; they are not moved to the Trash.</source>
        <translation>Mail va être invité à quitter. Ces éléments seront ensuite supprimés de votre dossier Bibliothèque&#xa0;; ils ne sont pas placés dans la Corbeille.</translation>
    </message>
    <message>
        <source>Uninstall</source>
        <translation>Désinstaller</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Annuler</translation>
    </message>
    <message>
        <source>a link: only the link is removed</source>
        <translation>un lien&#xa0;: seul le lien est supprimé</translation>
    </message>
    <message>
        <source>left over from an earlier removal</source>
        <translation>reste d’une suppression précédente</translation>
    </message>
    <message>
        <source>Your Library folder could not be found; nothing will be removed.</source>
        <translation>Votre dossier Bibliothèque est introuvable&#xa0;; rien ne sera supprimé.</translation>
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
        <translation>taille inconnue</translation>
    </message>
    <message>
        <source>Waiting for an update of Quillane to finish…</source>
        <translation>En attente de la fin de la mise à jour de Quillane…</translation>
    </message>
</context>
</TS>
