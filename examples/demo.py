"""Walk-through of TablesHolder on embedded data."""

from ondrel.datastore.tables.grimsel import TablesHolder

print(TablesHolder)
