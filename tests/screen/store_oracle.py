"""The answer every kept read of the store must give: its position query's
own statement, run as it is on the store's connection."""


def statement_answer(store, filter, roles):
    """The positions the store's statement finds, run as it is on the store's
    connection: what every answer must equal."""
    if roles == []:
        return []
    sql = "SELECT m.position FROM metadata m JOIN docs d ON d.position = m.position"
    conditions, params = [], []
    sieve = store._as_attr_sieve(filter)
    if sieve is not None:
        text, values = sieve.to_sql()
        conditions.append(f"({text})")
        params.extend(values)
    if roles is not None:
        marks = ",".join("?" * len(roles))
        conditions.append(f"m.position IN (SELECT position FROM doc_access WHERE role IN ({marks}))")
        params.extend(roles)
    if conditions:
        sql += " WHERE " + " AND ".join(conditions)
    return sorted({row[0] for row in store._conn.execute(sql, params)})
