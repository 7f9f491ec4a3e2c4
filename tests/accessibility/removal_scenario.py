"""The removal tool as a screen reader user meets it: its window, its three item rows, the
Uninstall button pressed through AT-SPI, and the completion alert announced.
    removal_scenario.py <language: C, de or fr> [FILE: created once it listens for events]"""
import re
import sys

from atspi_client import Checks, Client, dump, find, find_all, press, showing

TEXTS = {
    "C": dict(title="Uninstall Quillane", uninstall="Uninstall", cancel="Cancel",
              items="Items to remove", kinds=("Plug-in", "Spotlight importer", "Extras folder"),
              done_title="Uninstall Complete", done_message="Quillane was successfully removed",
              done_button="Done"),
    "de": dict(title="Quillane deinstallieren", uninstall="Deinstallieren", cancel="Abbrechen",
               items="Zu entfernende Objekte",
               kinds=("Plug-in", "Spotlight-Importprogramm", "Extras-Ordner"),
               done_title="Deinstallation abgeschlossen",
               done_message="Quillane wurde erfolgreich entfernt", done_button="Fertig"),
    "fr": dict(title="Désinstaller Quillane", uninstall="Désinstaller", cancel="Annuler",
               items="Éléments à supprimer",
               kinds=("Module", "Importateur Spotlight", "Dossier Extras"),
               done_title="Désinstallation terminée", done_message="Quillane a bien été supprimé",
               done_button="Terminé"),
}
PLACES = ("~/Library/Mail/Bundles/Quillane.mailbundle", "~/Library/Spotlight/Quillane.mdimporter",
          "~/Library/Mail/Bundles/Quillane Extras")
SIZE = r"[0-9][0-9.,\s\u00a0\u202f]*\w+"  # as the user's locale writes it: "480,0 ko"


def main(language, listening=None):
    texts = TEXTS[language]
    client = Client()
    if listening:
        open(listening, "w").close()
    checks = Checks()
    app = client.application("QuillaneRemover")
    window = client.wait(lambda: find(app, "dialog", texts["title"]), 20, "the window by its title")
    checks.expect(f"the window is a dialog named \"{texts['title']}\"", window is not None)

    uninstall = find(window, "push button", texts["uninstall"])
    cancel = find(window, "push button", texts["cancel"])
    checks.expect(f"an \"{texts['uninstall']}\" push button", uninstall is not None)
    checks.expect(f"a \"{texts['cancel']}\" push button", cancel is not None)
    if uninstall is not None:
        from gi.repository import Atspi
        checks.expect("Uninstall is the default button (Return)",
                      uninstall.get_state_set().contains(Atspi.StateType.IS_DEFAULT))

    item_list = find(window, "list", texts["items"])
    checks.expect(f"a list named \"{texts['items']}\"", item_list is not None)
    # The sizes come once the window is painted: the rows are named in full then.
    patterns = [re.compile(re.escape(f"{kind}, {place}, ") + SIZE)
                for kind, place in zip(texts["kinds"], PLACES)]

    def rows():
        found = [find(window, "list item", pattern) for pattern in patterns]
        return found if all(found) else None
    try:
        items = client.wait(rows, 20, "three item rows with their sizes")
    except AssertionError:
        items = None
        dump(window)
    checks.expect("three list items, each named by kind, place and size", items is not None)
    if items:
        for item in items:
            print("     row:", item.get_name())
        checks.expect("the rows' labels are not read again on their own",
                      all(item.get_child_count() == 0 for item in items))
        checks.expect("the rows are in the list", all(i.get_parent() == item_list for i in items)
                      if item_list else False)

    if uninstall is None:
        return 1
    client.pump(0.2)
    before = len(client.events)
    press(uninstall)

    def alert():
        return next((a for a in find_all(app, "alert", texts["done_title"]) if showing(a)), None)
    try:
        done = client.wait(alert, 20, "the completion alert")
    except AssertionError:
        done = None
        dump(app)
    checks.expect(f"an alert \"{texts['done_title']}\" appears", done is not None)
    if done is None:
        return 1
    def announced():
        return [e for e in client.events[before:] if e[1] == "alert" and e[2] == texts["done_title"]]
    try:
        client.wait(announced, 10, "the alert's announcement")
    except AssertionError:
        pass
    checks.expect("the alert was announced (an AT-SPI event with the alert role)", bool(announced()),
                  str(client.events))
    checks.expect("the alert says what happened",
                  find(done, "label", texts["done_message"]) is not None)
    done_button = find(done, "push button", texts["done_button"])
    checks.expect(f"the alert's button is \"{texts['done_button']}\"", done_button is not None)
    if done_button is not None:
        press(done_button)
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
